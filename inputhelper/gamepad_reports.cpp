#include "inputhelper/gamepad_reports.h"

#include <algorithm>
#include <cerrno>

namespace ferrowin::inputhelper {

namespace {

void putU16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}

uint16_t widen(uint8_t value) { return static_cast<uint16_t>(value * 257); }

bool bit(uint16_t buttons, int index) { return (buttons >> index) & 1; }

// Client button bit → Xbox report-1 button number (1-based). Bit 9 is AC Back, bits 11-15 unused.
constexpr std::array<std::pair<int, int>, 10> kXboxButtons = {
    {{0, 1}, {1, 2}, {2, 4}, {3, 5}, {4, 7}, {5, 8}, {6, 14}, {7, 15}, {8, 12}, {10, 13}}};

// Hat direction → GIP d-pad bits (up 1, down 2, left 4, right 8).
constexpr std::array<uint8_t, 8> kGipDpad = {0x01, 0x09, 0x08, 0x0A, 0x02, 0x06, 0x04, 0x05};

uint8_t scaleMagnitude(uint8_t magnitude) {
  // The descriptor declares 0..100; anything above is taken as full strength rather than left to
  // wrap around in a byte.
  return static_cast<uint8_t>(std::min<unsigned>(magnitude, 100) * 255 / 100);
}

// Mask bits: 0 right/weak, 1 left/strong, 2 right trigger, 3 left trigger.
RumbleCommand decodeRumble(uint8_t mask, uint8_t leftTrigger, uint8_t rightTrigger, uint8_t strong,
                           uint8_t weak, uint8_t duration, uint8_t loops) {
  auto enabled = [mask](int index, uint8_t magnitude) {
    return (mask >> index) & 1 ? scaleMagnitude(magnitude) : uint8_t{0};
  };
  unsigned ms = std::min<unsigned>(duration * (loops + 1u) * 10u, 5000u);
  return RumbleCommand{enabled(1, strong), enabled(0, weak), enabled(3, leftTrigger),
                       enabled(2, rightTrigger), static_cast<uint16_t>(ms)};
}

}  // namespace

std::array<uint8_t, 9> genericInputReport(const VirtualGamepadInputReport& r) {
  return {static_cast<uint8_t>(r.buttons),
          static_cast<uint8_t>(r.buttons >> 8),
          r.hat,
          r.leftX,
          r.leftY,
          r.rightX,
          r.rightY,
          r.leftTrigger,
          r.rightTrigger};
}

uint16_t trigger10Bit(uint8_t value) { return static_cast<uint16_t>((value * 1023 + 127) / 255); }

std::array<uint8_t, 17> xboxMainReport(const VirtualGamepadInputReport& r) {
  std::array<uint8_t, 17> out{};
  out[0] = 1;
  putU16(&out[1], widen(r.leftX));
  putU16(&out[3], static_cast<uint16_t>(65535 - widen(r.leftY)));
  putU16(&out[5], widen(r.rightX));
  putU16(&out[7], static_cast<uint16_t>(65535 - widen(r.rightY)));
  putU16(&out[9], trigger10Bit(r.leftTrigger));
  putU16(&out[11], trigger10Bit(r.rightTrigger));
  out[13] = r.hat <= 7 ? static_cast<uint8_t>(r.hat + 1) : 0;
  uint16_t buttons = 0;
  for (auto [clientBit, button] : kXboxButtons) {
    if (bit(r.buttons, clientBit)) buttons |= static_cast<uint16_t>(1u << (button - 1));
  }
  putU16(&out[14], buttons);
  out[16] = bit(r.buttons, 9) ? 1 : 0;
  return out;
}

std::array<uint8_t, 18> gipInputFrame(const VirtualGamepadInputReport& r, uint8_t sequence) {
  std::array<uint8_t, 18> out{};
  out[0] = 0x20;
  out[2] = sequence;
  out[3] = 14;
  // Byte 4: Menu, View, A, B, X, Y in bits 2-7, from client bits 8, 9, 0, 1, 2, 3.
  constexpr std::array<std::pair<int, int>, 6> kFaceButtons = {
      {{8, 2}, {9, 3}, {0, 4}, {1, 5}, {2, 6}, {3, 7}}};
  for (auto [clientBit, frameBit] : kFaceButtons) {
    if (bit(r.buttons, clientBit)) out[4] |= static_cast<uint8_t>(1u << frameBit);
  }
  // Byte 5: d-pad in bits 0-3, then shoulders and stick clicks from client bits 4-7.
  if (r.hat <= 7) out[5] = kGipDpad[r.hat];
  for (int clientBit = 4; clientBit <= 7; ++clientBit) {
    if (bit(r.buttons, clientBit)) out[5] |= static_cast<uint8_t>(1u << clientBit);
  }
  putU16(&out[6], trigger10Bit(r.leftTrigger));
  putU16(&out[8], trigger10Bit(r.rightTrigger));
  // Signed sticks without Y inversion: flipping the top bit recentres 0x8080 on 0x0080.
  putU16(&out[10], widen(r.leftX) ^ 0x8000);
  putU16(&out[12], widen(r.leftY) ^ 0x8000);
  putU16(&out[14], widen(r.rightX) ^ 0x8000);
  putU16(&out[16], widen(r.rightY) ^ 0x8000);
  return out;
}

std::array<uint8_t, 2> xboxGuideReport(bool pressed) {
  return {2, pressed ? uint8_t{1} : uint8_t{0}};
}

std::array<uint8_t, 5> gipGuideFrame(uint8_t sequence, bool pressed) {
  return {0x07, 0x20, sequence, 0x01, pressed ? uint8_t{1} : uint8_t{0}};
}

std::array<uint8_t, 2> xboxBatteryReport(uint8_t strength) { return {4, strength}; }

int errnoFor(OutputReportStatus status) {
  switch (status) {
    case OutputReportStatus::success:
      return 0;
    case OutputReportStatus::badArgument:
      return EINVAL;
    case OutputReportStatus::unsupported:
      break;
  }
  return EOPNOTSUPP;
}

OutputReportResult decodeXboxOutputReport(platform::HIDReportType type, uint8_t reportId,
                                          std::span<const uint8_t> bytes, bool usbReportsEnabled) {
  OutputReportResult result;
  if (type != platform::HIDReportType::output) return result;

  // The report may arrive with or without its id byte in front.
  std::vector<uint8_t> report(bytes.begin(), bytes.end());
  bool complete = (report.size() == 9 && report[0] == 3) || (report.size() >= 13 && report[0] == 9);
  if (!complete &&
      ((reportId == 9 && report.size() == 12) || (reportId == 3 && report.size() == 8))) {
    report.insert(report.begin(), reportId);
  }
  if (report.empty()) return result;

  if (report[0] == 3) {
    if (report.size() != 9) {
      result.status = OutputReportStatus::badArgument;
      return result;
    }
    result.rumble =
        decodeRumble(report[1], report[2], report[3], report[4], report[5], report[6], report[8]);
    result.label = "0x03";
  } else if (report[0] == 9) {
    if (!usbReportsEnabled) {
      result.status = OutputReportStatus::success;
      return result;
    }
    if (report.size() < 13) {
      result.status = OutputReportStatus::badArgument;
      return result;
    }
    result.rumble =
        decodeRumble(report[5], report[6], report[7], report[8], report[9], report[10], report[12]);
    result.label = "0x09 GIP";
  } else {
    return result;
  }
  result.status = OutputReportStatus::success;
  result.bytes = std::move(report);
  return result;
}

std::string hexBytes(std::span<const uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    if (!out.empty()) out += ' ';
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

}  // namespace ferrowin::inputhelper
