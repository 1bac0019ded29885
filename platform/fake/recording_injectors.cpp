#include "platform/fake/recording_injectors.h"

namespace ferrowin::platform {

void RecordingPointerInjector::setTrusted(bool trusted) {
  std::lock_guard lock(mutex_);
  trusted_ = trusted;
}

void RecordingPointerInjector::setCursorPosition(std::optional<InjectionPoint> position) {
  std::lock_guard lock(mutex_);
  cursor_ = position;
}

std::vector<RecordedPointerEvent> RecordingPointerInjector::events() const {
  std::lock_guard lock(mutex_);
  return events_;
}

void RecordingPointerInjector::clear() {
  std::lock_guard lock(mutex_);
  events_.clear();
}

int RecordingPointerInjector::trustQueries() const {
  std::lock_guard lock(mutex_);
  return trustQueries_;
}

bool RecordingPointerInjector::accessibilityTrusted() {
  std::lock_guard lock(mutex_);
  ++trustQueries_;
  return trusted_;
}

bool RecordingPointerInjector::post(PointerEventType type, InjectionPoint point,
                                    PointerButton button, int64_t clickState) {
  std::lock_guard lock(mutex_);
  if (!trusted_) return false;
  events_.push_back({type, point, button, clickState});
  cursor_ = point;
  return true;
}

std::optional<InjectionPoint> RecordingPointerInjector::cursorPosition() {
  std::lock_guard lock(mutex_);
  if (!trusted_) return std::nullopt;
  return cursor_;
}

void RecordingKeyInjector::setFrontmostExecutable(std::optional<std::string> path) {
  std::lock_guard lock(mutex_);
  frontmost_ = std::move(path);
}

std::vector<RecordedKey> RecordingKeyInjector::keys() const {
  std::lock_guard lock(mutex_);
  return keys_;
}

void RecordingKeyInjector::clear() {
  std::lock_guard lock(mutex_);
  keys_.clear();
}

bool RecordingKeyInjector::accessibilityTrusted() { return true; }

bool RecordingKeyInjector::key(uint32_t keysym, bool down) {
  std::lock_guard lock(mutex_);
  keys_.push_back({keysym, down});
  return true;
}

void RecordingKeyInjector::restoreKeymap() {}

std::optional<std::string> RecordingKeyInjector::frontmostExecutable() {
  std::lock_guard lock(mutex_);
  return frontmost_;
}

}  // namespace ferrowin::platform
