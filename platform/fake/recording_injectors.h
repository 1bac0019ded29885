#pragma once
// Recording doubles of the pointer and key injectors: they keep every call in order and answer
// the trust, cursor and front-most window questions from scripted values. Thread-safe, so a test
// can read what an injector's queue posted while that queue runs.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/input_injection.h"

namespace ferrowin::platform {

struct RecordedPointerEvent {
  PointerEventType type = PointerEventType::moved;
  InjectionPoint point;
  PointerButton button = PointerButton::left;
  int64_t clickState = 0;
  bool operator==(const RecordedPointerEvent&) const = default;
};

/// Untrusted injectors record nothing and return false, as the real one does. The cursor follows
/// every posted event unless a test places it with setCursorPosition().
class RecordingPointerInjector final : public PointerInjector {
 public:
  void setTrusted(bool trusted);
  void setCursorPosition(std::optional<InjectionPoint> position);
  std::vector<RecordedPointerEvent> events() const;
  void clear();
  /// How often accessibilityTrusted() was asked.
  int trustQueries() const;

  bool accessibilityTrusted() override;
  bool post(PointerEventType type, InjectionPoint point, PointerButton button,
            int64_t clickState) override;
  std::optional<InjectionPoint> cursorPosition() override;

 private:
  mutable std::mutex mutex_;
  bool trusted_ = true;
  int trustQueries_ = 0;
  std::optional<InjectionPoint> cursor_ = InjectionPoint{};
  std::vector<RecordedPointerEvent> events_;
};

struct RecordedKey {
  uint32_t keysym = 0;
  bool down = false;
};

class RecordingKeyInjector final : public KeyInjector {
 public:
  void setFrontmostExecutable(std::optional<std::string> path);
  std::vector<RecordedKey> keys() const;
  void clear();

  bool accessibilityTrusted() override;
  bool key(uint32_t keysym, bool down) override;
  void restoreKeymap() override;
  std::optional<std::string> frontmostExecutable() override;

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> frontmost_;
  std::vector<RecordedKey> keys_;
};

}  // namespace ferrowin::platform
