// MouseInjector: the absolute path against the recording pointer injector, the relative path
// against a fake kernel, with a manual clock for the rate of the drop messages. (The click count
// it keeps is not tested: the X server's clients count clicks themselves.)

#include "inputhelper/mouse_injector.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/fake/recording_injectors.h"
#include "tests/support/fake_uhid_kernel.h"
#include "tests/support/log_capture.h"

namespace ferrowin::inputhelper {
namespace {

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

using platform::InjectionPoint;
using platform::PointerButton;
using platform::PointerEventType;
using platform::RecordedPointerEvent;
using Bytes = std::vector<uint8_t>;
using Type = PointerEventType;

constexpr uint8_t kLeft = 0x01, kRight = 0x02, kRelative = 0x04, kMiddle = 0x08;

class MouseInjectorTest : public ::testing::Test {
 protected:
  MouseInjectorTest() {
    ::setenv("FERROWIN_UHID_SOCKET", kernel_.path().c_str(), 1);
    // Content (100, 50, 1000 × 1000): one point per 65.535 units.
    geometry_.set(common::CapturePointerGeometry{{100, 50, 1000, 1000}, 1000, 1000});
  }
  ~MouseInjectorTest() override { ::unsetenv("FERROWIN_UHID_SOCKET"); }

  void send(uint8_t flags, uint16_t x, uint16_t y, int8_t wheel = 0) {
    injector_.handle(VirtualMousePacket{flags, x, y, wheel, ++sequence_});
    injector_.drain();
  }
  // An absolute packet at content point (px, py).
  void at(double px, double py, uint8_t buttons) {
    send(buttons, static_cast<uint16_t>(px * 65.535), static_cast<uint16_t>(py * 65.535));
  }
  void relative(int16_t dx, int16_t dy, uint8_t buttons, int8_t wheel = 0) {
    send(buttons | kRelative, static_cast<uint16_t>(dx), static_cast<uint16_t>(dy), wheel);
  }
  std::vector<RecordedPointerEvent> events(Type type) {
    std::vector<RecordedPointerEvent> out;
    for (const auto& event : pointer_->events()) {
      if (event.type == type) out.push_back(event);
    }
    return out;
  }
  testing::FakeUhidKernel kernel_;
  common::CapturePointerGeometryStore geometry_;
  common::ManualClock clock_;
  std::shared_ptr<platform::RecordingPointerInjector> pointer_ =
      std::make_shared<platform::RecordingPointerInjector>();
  uint32_t sequence_ = 0;
  MouseInjector injector_{geometry_, pointer_, platform::makeUhidBackend(), clock_};
};

// Only the left button drags when several are held; at the session's end every button still held
// is lifted, on the pointer and on the virtual mouse.
TEST_F(MouseInjectorTest, DraggingWithSeveralButtonsThenReleaseAllAtTheEnd) {
  at(10, 10, kLeft | kRight);
  at(30, 10, kLeft | kRight);
  at(30, 10, kRight);
  at(40, 10, kRight);
  at(50, 10, kRight | kMiddle);
  at(60, 10, kRight | kMiddle);
  at(60, 10, 0);
  // Right drags once the left button is up; the middle button never drags, right is held
  // throughout; the pointer moves after the last release.
  std::vector<Type> types;
  for (const auto& event : pointer_->events()) types.push_back(event.type);
  EXPECT_EQ(types, (std::vector<Type>{Type::leftDown, Type::rightDown, Type::leftDragged,
                                      Type::leftUp, Type::rightDragged, Type::rightDragged,
                                      Type::rightDragged, Type::otherDown, Type::rightDragged,
                                      Type::rightUp, Type::otherUp, Type::moved}));
  EXPECT_EQ(events(Type::otherUp)[0].button, PointerButton::middle);
  EXPECT_NEAR(events(Type::leftDragged)[0].point.x, 130, 0.1);
  EXPECT_NEAR(events(Type::leftDragged)[0].point.y, 60, 0.1);

  at(10, 10, kLeft | kRight | kMiddle);
  relative(0, 0, kLeft);
  pointer_->setCursorPosition(InjectionPoint{400, 300});
  pointer_->clear();
  testing::LogCapture capture;
  injector_.releaseAll();
  injector_.drain();
  EXPECT_EQ(pointer_->events(), (std::vector<RecordedPointerEvent>{
                                    {Type::leftUp, {400, 300}, PointerButton::left, 1},
                                    {Type::rightUp, {400, 300}, PointerButton::right, 1},
                                    {Type::otherUp, {400, 300}, PointerButton::middle, 1}}));
  EXPECT_EQ(kernel_.waitForInputs(0, 2).back(), (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(capture.messages().size(), 4u);
  EXPECT_EQ(capture.messages().back(), "Released HID mouse buttons (session end)");
  // Nothing is held any more.
  injector_.releaseAll();
  injector_.drain();
  EXPECT_EQ(pointer_->events().size(), 3u);
  // The next press is a fresh one.
  at(10, 10, 0);
  EXPECT_EQ(events(Type::moved).size(), 1u);
}

// Dropped absolute packets are told on standard error: without geometry at most once a second,
// without Accessibility every time (and the log says so once).
TEST_F(MouseInjectorTest, DroppedAbsolutePacketsAreToldOnStandardError) {
  geometry_.set(common::CapturePointerGeometry{{0, 0, 0, 720}, 1, 1});
  testing::LogCapture capture;
  ::testing::internal::CaptureStderr();
  for (int i = 0; i < 3; ++i) {  // at 0.0 told, at 0.4 and 0.8 not
    at(7, 9, kLeft);
    clock_.advance(0.4);
  }
  geometry_.set(std::nullopt);
  at(7, 9, kLeft);  // at 1.2 told again
  geometry_.set(common::CapturePointerGeometry{{100, 50, 1000, 1000}, 1000, 1000});
  pointer_->setTrusted(false);
  at(1, 1, 0);
  at(2, 2, 0);
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(pointer_->events().empty());
  const std::string drop = "mouse: absolute drop: ";
  EXPECT_EQ(
      occurrences(err, drop + "no capture geometry (seq=1 L=true R=false M=false x=458 y=589)\n"),
      1u)
      << err;
  EXPECT_EQ(occurrences(err, drop + "no capture geometry (seq=4 "), 1u) << err;
  EXPECT_EQ(occurrences(err, drop + "no capture geometry"), 2u) << err;
  EXPECT_EQ(occurrences(err, drop + "accessibility not trusted\n"), 2u) << err;
  EXPECT_EQ(capture.messages(),
            (std::vector<std::string>{"Touch mouse requires Accessibility permission (System "
                                      "Settings › Privacy & Security › Accessibility)"}));
  pointer_->setTrusted(true);
  at(3, 3, 0);
  EXPECT_EQ(pointer_->events().size(), 1u);
}

TEST_F(MouseInjectorTest, RelativeMotionIsChunkedOnTheVirtualMouse) {
  testing::LogCapture capture;
  relative(-300, 5, kLeft, -1);  // the wheel and the vertical motion go with the first chunk
  auto created = kernel_.waitForCreate(0);
  ASSERT_TRUE(created);
  EXPECT_EQ(created->name, "Ferrowin Virtual Mouse");
  EXPECT_TRUE(capture.contains("Created virtual HID mouse for relative remap"));
  EXPECT_EQ(kernel_.waitForInputs(0, 3),
            (std::vector<Bytes>{{1, 0x80, 5, 0xFF}, {1, 0x80, 0, 0}, {1, 0xD4, 0, 0}}));
  relative(0, 0, kRight, 0);  // a button change alone
  relative(300, 2, kRight, -3);
  EXPECT_EQ(kernel_.waitForInputs(0, 7), (std::vector<Bytes>{{1, 0x80, 5, 0xFF},
                                                             {1, 0x80, 0, 0},
                                                             {1, 0xD4, 0, 0},
                                                             {2, 0, 0, 0},
                                                             {2, 127, 2, 0xFD},
                                                             {2, 127, 0, 0},
                                                             {2, 46, 0, 0}}));
  EXPECT_EQ(kernel_.deviceCount(), 1u);  // one device for all of it
  EXPECT_TRUE(pointer_->events().empty());
}

TEST_F(MouseInjectorTest, LookMotionCarriesTheHeldButtonsAndTeardownNeutralisesTheMouse) {
  injector_.postRelative(5, -5);  // no virtual mouse yet: nothing to send to
  ASSERT_TRUE(injector_.prepareHIDMouse());
  ASSERT_TRUE(injector_.prepareHIDMouse());  // already there
  ASSERT_TRUE(kernel_.waitForCreate(0));
  relative(0, 0, kLeft | kMiddle);
  injector_.postRelative(0, 0);  // ignored
  injector_.postRelative(5, -5);
  injector_.drain();
  injector_.teardownHIDMouse();
  EXPECT_TRUE(kernel_.waitForDestroy(0));
  EXPECT_EQ(kernel_.inputs(0), (std::vector<Bytes>{{5, 0, 0, 0}, {5, 5, 0xFB, 0}, {0, 0, 0, 0}}));
  injector_.postRelative(1, 1);  // the look thread's last round must not bring it back
  injector_.teardownHIDMouse();
  injector_.drain();
  EXPECT_EQ(kernel_.deviceCount(), 1u);
}

TEST_F(MouseInjectorTest, PrepareFailsWithoutAKernel) {
  ::setenv("FERROWIN_UHID_SOCKET", (kernel_.path() + ".missing").c_str(), 1);
  EXPECT_FALSE(injector_.prepareHIDMouse());
  testing::LogCapture capture;
  relative(1, 1, kLeft);
  EXPECT_TRUE(
      capture.contains("HID mouse post failed: virtual HID device could not be created: " +
                       ("connect " + kernel_.path() + ".missing: No such file or directory")));
}

}  // namespace
}  // namespace ferrowin::inputhelper
