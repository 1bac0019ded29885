// The UHID backend and the virtual gamepad against a fake kernel on FERROWIN_UHID_SOCKET.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <tuple>

#include "inputhelper/gamepad_descriptors.h"
#include "inputhelper/gamepad_device.h"
#include "inputhelper/gamepad_factory.h"
#include "inputhelper/gamepad_sink.h"
#include "inputhelper/mouse_device.h"
#include "platform/virtual_hid.h"
#include "tests/support/fake_uhid_kernel.h"

namespace ferrowin::inputhelper {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::FakeUhidKernel;

// FNV-1a: the descriptors are part of what games and drivers match on, so any change to them
// has to be deliberate.
uint32_t fingerprint(std::span<const uint8_t> bytes) {
  uint32_t hash = 0x811c9dc5;
  for (uint8_t b : bytes) hash = (hash ^ b) * 0x01000193;
  return hash;
}

class UhidTest : public ::testing::Test {
 protected:
  UhidTest() : kernel_(std::make_unique<FakeUhidKernel>()) {
    ::setenv("FERROWIN_UHID_SOCKET", kernel_->path().c_str(), 1);
    XboxUSBReports::shared().setEnabled(true);
  }
  ~UhidTest() override {
    ::unsetenv("FERROWIN_UHID_SOCKET");
    XboxUSBReports::shared().setEnabled(true);
  }
  FakeUhidKernel& kernel() { return *kernel_; }

  std::unique_ptr<FakeUhidKernel> kernel_;
  std::shared_ptr<platform::VirtualHIDBackend> backend_ = platform::makeUhidBackend();
};

// Each device is created with its identity and descriptor; then the pads answer GET_REPORT for
// their input reports only, the Xbox pad takes rumble, and a failed report is printed.
TEST_F(UhidTest, DevicesFromCreationThroughReportsRumbleAndAFailedSend) {
  struct Case {
    const char* name;
    const char* uniq;
    uint16_t bus, vendor, product;
    uint32_t version, descriptorFingerprint;
  };
  const Case cases[] = {
      {"Xbox Wireless Controller", "FW:00:00:00:00:01", 0x05, 0x045E, 0x02FD, 0x0903, 0x957dd6cf},
      {"Ferrowin Virtual Gamepad", "VG-CH-0001", 0x05, 0x1209, 0x4741, 0x0903, 0xc05117db},
      {"Ferrowin Virtual Mouse", "VG-MS-0001", 0x03, 0x1209, 0x4D53, 2, 0x355fee00},
  };
  auto xbox = FerrowinVirtualGamepad::create(common::DeviceProfile::xbox, *backend_);
  auto generic = FerrowinVirtualGamepad::create(common::DeviceProfile::generic, *backend_);
  auto mouse = FerrowinVirtualMouse::create(*backend_);
  ASSERT_TRUE(xbox && generic && mouse);
  for (int device = 0; device < 3; ++device) {
    const Case& expected = cases[device];
    SCOPED_TRACE(expected.name);
    auto created = kernel().waitForCreate(device);
    ASSERT_TRUE(created);
    // Bus 5 is BUS_BLUETOOTH, 3 BUS_USB.
    EXPECT_EQ(std::tuple(created->name, created->uniq, created->phys, created->bus, created->vendor,
                         created->product, created->version, fingerprint(created->descriptor)),
              std::tuple(expected.name, expected.uniq, "", expected.bus, expected.vendor,
                         expected.product, expected.version, expected.descriptorFingerprint));
  }

  kernel().sendStart(1);  // start and open are only acknowledged
  kernel().sendOpen(1);
  // The generic pad answers its last report (neutral at first).
  EXPECT_EQ(kernel().waitForGetReportReply(1, kernel().sendGetReport(1, 0, 2))->data,
            (Bytes{0, 0, 8, 0x80, 0x80, 0x80, 0x80, 0, 0}));
  ASSERT_TRUE((*generic)->send(VirtualGamepadInputReport{0x0201, 2, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(kernel().waitForInputs(1, 1).back(), (Bytes{1, 2, 2, 1, 2, 3, 4, 5, 6}));
  auto get = kernel().waitForGetReportReply(1, kernel().sendGetReport(1, 0, 2));
  ASSERT_TRUE(get);
  EXPECT_EQ(get->error, 0);
  EXPECT_EQ(get->data, (Bytes{1, 2, 2, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(kernel().waitForGetReportReply(1, kernel().sendGetReport(1, 0, 0))->error, EOPNOTSUPP);
  // SET_REPORT on the generic pad is accepted and ignored.
  EXPECT_EQ(kernel().waitForSetReportReply(1, kernel().sendSetReport(1, 3, 1, {3, 1})), 0);

  // The Xbox pad answers its input reports 1 and 2 empty, and nothing else.
  for (uint8_t id : {1, 2}) {
    get = kernel().waitForGetReportReply(0, kernel().sendGetReport(0, id, 2));
    ASSERT_TRUE(get);
    EXPECT_EQ(get->error, 0);
    EXPECT_TRUE(get->data.empty());
  }
  EXPECT_EQ(kernel().waitForGetReportReply(0, kernel().sendGetReport(0, 4, 2))->error, EOPNOTSUPP);
  EXPECT_EQ(kernel().waitForGetReportReply(0, kernel().sendGetReport(0, 1, 0))->error, EOPNOTSUPP);

  // Xbox rumble arrives by SET_REPORT and by OUTPUT.
  std::mutex mutex;
  std::vector<RumbleCommand> rumbles;
  (*xbox)->setOnRumble([&](uint8_t s, uint8_t w, uint8_t l, uint8_t r, uint16_t d) {
    std::lock_guard lock(mutex);
    rumbles.push_back({s, w, l, r, d});
  });
  (*xbox)->activate();
  // Without its report id, as some drivers send it.
  EXPECT_EQ(kernel().waitForSetReportReply(
                0, kernel().sendSetReport(0, 3, 1, {0x03, 0, 0, 100, 50, 20, 0, 0})),
            0);
  EXPECT_EQ(kernel().waitForSetReportReply(0, kernel().sendSetReport(0, 3, 1, {3, 1, 2})), EINVAL);
  EXPECT_EQ(kernel().waitForSetReportReply(0, kernel().sendSetReport(0, 3, 0, {3, 1, 2})),
            EOPNOTSUPP);  // feature, not output
  kernel().sendOutput(0, FakeUhidKernel::kOutputReport, {3, 0x0F, 0, 0, 0, 0, 255, 0, 255});
  const Bytes gip = {9, 0, 0, 0, 0, 0x01, 0, 0, 0, 100, 1, 0, 0};
  EXPECT_EQ(kernel().waitForSetReportReply(0, kernel().sendSetReport(0, 9, 1, gip)), 0);
  {
    std::lock_guard lock(mutex);
    EXPECT_EQ(rumbles, (std::vector<RumbleCommand>{
                           {255, 127, 0, 0, 200}, {0, 0, 0, 0, 5000}, {0, 255, 0, 0, 10}}));
  }

  // A failed report is printed and the sink goes on.
  DeviceSink sink(*generic, common::DeviceProfile::generic);
  (*generic)->cancel();
  ::testing::internal::CaptureStdout();
  sink.apply({});
  std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(out.starts_with("gamepad dispatch failed: HandleReport IOReturn 0x")) << out;
  EXPECT_TRUE(out.ends_with("\n"));

  generic->reset();
  ::testing::internal::CaptureStdout();
  sink.apply({});  // device gone: nothing
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

// Malformed kernel events are answered or ignored; a handler may drop the last owner.
TEST_F(UhidTest, MalformedEventsAndAnOwnerLettingGoFromInsideAHandler) {
  platform::VirtualHIDHandlers handlers;
  handlers.setReport = [](platform::HIDReportType, uint8_t, std::span<const uint8_t>) { return 0; };
  auto device =
      backend_->create(gamepadProperties(common::DeviceProfile::generic), handlers, "t.bad");
  ASSERT_TRUE(device);
  ASSERT_TRUE(kernel().waitForCreate(0));

  Bytes setReport(FakeUhidKernel::kEventSize, 0);
  setReport[0] = 13;  // UHID_SET_REPORT
  setReport[4] = 77;  // request id
  setReport[9] = 1;
  setReport[10] = 0xFF;  // size 0xFFFF: beyond the protocol's maximum
  setReport[11] = 0xFF;
  kernel().sendRaw(0, setReport);
  EXPECT_EQ(kernel().waitForSetReportReply(0, 77), EINVAL);

  Bytes getReport(10, 0);
  getReport[0] = 9;  // UHID_GET_REPORT, report type 9 does not exist
  getReport[4] = 78;
  getReport[9] = 9;
  kernel().sendRaw(0, getReport);
  auto reply = kernel().waitForGetReportReply(0, 78);
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->error, EINVAL);

  kernel().sendRaw(0, {0x63, 0, 0, 0});  // unknown type
  kernel().sendRaw(0, {6, 0});           // truncated
  kernel().sendRaw(0, {6, 0, 0, 0, 1});  // truncated UHID_OUTPUT
  // Still alive and answering.
  EXPECT_EQ(kernel().waitForSetReportReply(0, kernel().sendSetReport(0, 0, 1, {1})), 0);

  // The last owner may let go from inside a handler: a device whose owner dropped it while the
  // kernel was asking is destroyed on the device's own thread.
  std::atomic<int> cancelled{0};
  std::unique_ptr<platform::VirtualHIDDevice> owned;
  platform::VirtualHIDHandlers owner;
  owner.setReport = [&](platform::HIDReportType, uint8_t, std::span<const uint8_t>) {
    owned.reset();
    return 0;
  };
  owner.cancelled = [&] { ++cancelled; };
  auto created = backend_->create(mouseProperties(), owner, "t.self");
  ASSERT_TRUE(created);
  owned = std::move(*created);
  kernel().sendSetReport(1, 0, 1, {1});
  EXPECT_TRUE(kernel().waitForDestroy(1));
  EXPECT_TRUE(kernel().waitForClose(1));
  for (int i = 0; i < 500 && cancelled == 0; ++i) usleep(1000);
  EXPECT_EQ(cancelled, 1);
}

// A kernel that goes away fails the device's reports rather than killing us; with no kernel at all
// nothing is available and nothing can be created.
TEST_F(UhidTest, AVanishedOrMissingKernelFailsWithoutKillingUs) {
  EXPECT_TRUE(backend_->available());
  std::atomic<int> cancelled{0};
  platform::VirtualHIDHandlers handlers;
  handlers.cancelled = [&] { ++cancelled; };
  auto device = backend_->create(mouseProperties(), handlers, "t.gone");
  ASSERT_TRUE(device);
  ASSERT_TRUE(kernel().waitForCreate(0));
  kernel_.reset();  // closes its end and removes its socket
  auto sent = (*device)->sendInputReport(Bytes{0, 0, 0, 0});
  for (int i = 0; i < 100 && sent; ++i) {
    usleep(10000);
    sent = (*device)->sendInputReport(Bytes{0, 0, 0, 0});
  }
  ASSERT_FALSE(sent);
  EXPECT_NE(sent.error().code, 0);
  (*device)->cancel();
  EXPECT_EQ(cancelled, 1);

  EXPECT_FALSE(backend_->available());
  auto missing = backend_->create(mouseProperties(), {}, "t.none");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().code, ENOENT);

  if (::access("/dev/uhid", F_OK) == 0) GTEST_SKIP() << "this machine has /dev/uhid";
  ::unsetenv("FERROWIN_UHID_SOCKET");
  EXPECT_FALSE(backend_->available());
  EXPECT_FALSE(backend_->create(mouseProperties(), {}, "t.none"));
}

template <size_t N>
Bytes toBytes(const std::array<uint8_t, N>& array) {
  return Bytes(array.begin(), array.end());
}

std::vector<Bytes> withId(const std::vector<Bytes>& inputs, uint8_t id) {
  std::vector<Bytes> out;
  for (const auto& input : inputs) {
    if (!input.empty() && input[0] == id) out.push_back(input);
  }
  return out;
}

TEST_F(UhidTest, XboxFactoryPrimesTheDeviceTheSinkSendsGuideEdgesAndSteamDecidesTheGipFrames) {
  auto factory = makeVirtualGamepadFactory(backend_);
  auto device = factory->create(common::DeviceProfile::xbox);
  ASSERT_TRUE(device);
  auto inputs = kernel().waitForInputs(0, 3);
  ASSERT_EQ(inputs.size(), 3u);
  EXPECT_EQ(inputs[0], toBytes(xboxMainReport({})));
  EXPECT_EQ(inputs[1], toBytes(gipInputFrame({}, 0)));
  EXPECT_EQ(inputs[2], (Bytes{4, 0x87}));

  auto sink = (*device)->makeSink();
  VirtualGamepadInputReport released;
  VirtualGamepadInputReport pressed;
  pressed.buttons = 1u << 10;
  sink->apply(released);  // first report, guide clear: nothing for the guide
  sink->apply(pressed);
  sink->apply(pressed);
  sink->apply(released);
  inputs = kernel().waitForInputs(0, 3 + 4 * 2 + 2 * 2);
  EXPECT_EQ(withId(inputs, 2), (std::vector<Bytes>{{2, 1}, {2, 0}}));
  // GIP frames count up across input and guide frames.
  EXPECT_EQ(withId(inputs, 7), (std::vector<Bytes>{{7, 0x20, 2, 1, 1}, {7, 0x20, 5, 1, 0}}));
  std::vector<uint8_t> sequences;
  for (const auto& frame : withId(inputs, 0x20)) sequences.push_back(frame[2]);
  EXPECT_EQ(sequences, (std::vector<uint8_t>{0, 0, 1, 3, 4}));

  // Steam support turned off: the device lets go of the GIP state, a neutral frame and the guide
  // up, numbered on their own.
  (*device)->steamSupportTurnedOff();
  inputs = kernel().waitForInputs(0, 3 + 4 * 2 + 2 * 2 + 2);
  ASSERT_EQ(inputs.size(), 17u);
  EXPECT_EQ(inputs[15], toBytes(gipInputFrame({}, 0)));
  EXPECT_EQ(inputs[16], (Bytes{7, 0x20, 1, 1, 0}));

  // Without the Xbox USB reports a new pad sends the controller's own reports alone.
  XboxUSBReports::shared().setEnabled(false);
  auto second = factory->create(common::DeviceProfile::xbox);
  ASSERT_TRUE(second);
  (*second)->makeSink()->apply(pressed);
  inputs = kernel().waitForInputs(1, 4);
  ASSERT_EQ(inputs.size(), 4u);
  EXPECT_EQ(inputs[0][0], 1);
  EXPECT_EQ(inputs[1], (Bytes{4, 0x87}));
  EXPECT_EQ(inputs[2][0], 1);
  EXPECT_EQ(inputs[3], (Bytes{2, 1}));
}

}  // namespace
}  // namespace ferrowin::inputhelper
