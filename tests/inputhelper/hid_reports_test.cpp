// The virtual gamepad's bytes: report translation and rumble decoding. (The descriptors are pinned
// in uhid_devices_test, the mouse's motion chunking in mouse_injector_test.)

#include <gtest/gtest.h>

#include <vector>

#include "inputhelper/gamepad_reports.h"

namespace ferrowin::inputhelper {
namespace {

using platform::HIDReportType;

uint16_t u16(std::span<const uint8_t> b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

// Sticks widen to 16 bits (Y inverted in the main report; signed, not inverted, in the GIP frame),
// triggers to 10 bits, and hat 8 (centred) is 0 in the main report.
TEST(XboxTranslation, SticksAndTriggersScaleToTheirRanges) {
  VirtualGamepadInputReport r;  // sticks centred at 0x80
  r.leftTrigger = 255;
  r.rightTrigger = 1;
  EXPECT_EQ(xboxMainReport(r), (std::array<uint8_t, 17>{1, 0x80, 0x80, 0x7F, 0x7F, 0x80, 0x80, 0x7F,
                                                        0x7F, 0xFF, 0x03, 4, 0, 0, 0, 0, 0}));
  EXPECT_EQ(gipInputFrame(r, 7), (std::array<uint8_t, 18>{0x20, 0, 7, 14, 0, 0, 0xFF, 0x03, 4, 0,
                                                          0x80, 0, 0x80, 0, 0x80, 0, 0x80, 0}));
  r.leftX = 0;
  r.leftY = 0;
  r.rightX = 255;
  r.rightY = 255;
  EXPECT_EQ(xboxMainReport(r), (std::array<uint8_t, 17>{1, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0xFF,
                                                        0x03, 4, 0, 0, 0, 0, 0}));
  EXPECT_EQ(gipInputFrame(r, 0), (std::array<uint8_t, 18>{0x20, 0, 0, 14, 0, 0, 0xFF, 0x03, 4, 0, 0,
                                                          0x80, 0, 0x80, 0xFF, 0x7F, 0xFF, 0x7F}));
}

// Client bits to the main report's button numbers and the GIP frame's bits; the hat to both.
TEST(XboxTranslation, ButtonsAndHat) {
  // Client bit → report-1 button number (0 = AC Back).
  const std::vector<std::pair<int, int>> table = {{0, 1},  {2, 4},  {4, 7},
                                                  {6, 14}, {8, 12}, {10, 13}};
  for (auto [clientBit, button] : table) {
    VirtualGamepadInputReport r;
    r.buttons = static_cast<uint16_t>(1u << clientBit);
    auto main = xboxMainReport(r);
    EXPECT_EQ(u16(main, 14), 1u << (button - 1)) << "client bit " << clientBit;
    EXPECT_EQ(main[16], 0);
  }
  VirtualGamepadInputReport r;
  r.buttons = 1u << 9;
  EXPECT_EQ(u16(xboxMainReport(r), 14), 0);
  EXPECT_EQ(xboxMainReport(r)[16], 1);
  r.buttons = 0xF800;  // bits 11-15 are unused
  EXPECT_EQ(u16(xboxMainReport(r), 14), 0);
  r.buttons = (1u << 8) | (1u << 9) | 0x0F;  // Menu, View, A, B, X, Y
  EXPECT_EQ(gipInputFrame(r, 0)[4], 0xFC);
  r.buttons = 0xF0;  // shoulders and stick clicks
  EXPECT_EQ(gipInputFrame(r, 0)[5], 0xF0);

  const uint8_t dpad[8] = {0x01, 0x09, 0x08, 0x0A, 0x02, 0x06, 0x04, 0x05};
  for (uint8_t hat = 0; hat < 8; ++hat) {
    VirtualGamepadInputReport h;
    h.hat = hat;
    EXPECT_EQ(gipInputFrame(h, 0)[5], dpad[hat]) << int(hat);
    EXPECT_EQ(xboxMainReport(h)[13], hat + 1);
  }
  VirtualGamepadInputReport odd;
  odd.hat = 200;
  EXPECT_EQ(gipInputFrame(odd, 0)[5], 0);
  EXPECT_EQ(xboxMainReport(odd)[13], 0);
}

TEST(RumbleDecoding, OutputReportsBecomeMotorCommands) {
  using Status = OutputReportStatus;
  struct Case {
    const char* what;
    uint8_t id;
    std::vector<uint8_t> bytes;
    Status status;
    std::optional<RumbleCommand> rumble;
    bool usb = true;
  };
  // Scaling the enabled motors, a feature report, a short report 3 and the five-second cap reach
  // the decoder through the fake kernel in uhid_devices_test.
  const Case cases[] = {
      {"disabled motors are zero, triggers follow their bits", 3,
       {3, 0x0C, 40, 60, 100, 100, 1, 0, 0}, Status::success, RumbleCommand{0, 0, 102, 153, 10}},
      {"duration with repeats", 3, {3, 0x0F, 0, 0, 0, 0, 10, 0, 2}, Status::success,
       RumbleCommand{0, 0, 0, 0, 300}},
      {"above the declared range is full strength", 3, {3, 0x0F, 101, 200, 255, 100, 1, 0, 0},
       Status::success, RumbleCommand{255, 255, 255, 255, 10}},
      {"GIP report 9 without its id", 9, {0, 0, 0, 0, 0x03, 0, 0, 100, 50, 20, 0, 1},
       Status::success, RumbleCommand{255, 127, 0, 0, 400}},
      {"GIP frame without USB reports is accepted and ignored", 9,
       {9, 0, 0, 0, 0, 0x03, 0, 0, 100, 50, 20, 0, 0}, Status::success, std::nullopt, false},
      {"report 3 too long", 3, {3, 0, 0, 0, 0, 0, 0, 0, 0, 0}, Status::badArgument, std::nullopt},
      {"GIP too short", 9, {9, 0, 0}, Status::badArgument, std::nullopt},
      {"unknown id", 5, {5, 1}, Status::unsupported, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto result = decodeXboxOutputReport(HIDReportType::output, c.id, c.bytes, c.usb);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.rumble, c.rumble);
  }
}

}  // namespace
}  // namespace ferrowin::inputhelper
