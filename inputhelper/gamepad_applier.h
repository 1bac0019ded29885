#pragma once
// Gamepad reports on their way to the virtual device: a sequence filter that drops duplicates and
// late datagrams, and a failsafe that recentres the pad once when the client goes quiet.

#include <cstdint>
#include <memory>
#include <mutex>

#include "common/runtime/clock.h"
#include "inputhelper/packets.h"

namespace ferrowin::inputhelper {

/// Receives the gamepad reports that pass the filter. Called with the applier's lock held, so
/// the calls of one applier never overlap.
class GamepadSink {
 public:
  virtual ~GamepadSink() = default;
  virtual void apply(const VirtualGamepadInputReport& report) = 0;
};

/// Accepts and drops everything (sessions without a virtual gamepad).
class DiscardSink final : public GamepadSink {
 public:
  void apply(const VirtualGamepadInputReport&) override {}
};

/// Thread-safe; apply() comes from the UDP queue, failsafeCheck() from the main executor.
class GamepadApplier {
 public:
  GamepadApplier(std::shared_ptr<GamepadSink> sink, const common::Clock& clock);

  /// Returns whether the report reached the sink. Sequence 0 (a client restart) always passes;
  /// otherwise a sequence at or below the last one, less than 1025 behind, is dropped.
  bool apply(uint32_t sequence, const VirtualGamepadInputReport& report);

  /// Sends the neutral report once when nothing was accepted for `timeoutSeconds`; the next
  /// accepted report re-arms it. Returns whether it fired.
  bool failsafeCheck(double timeoutSeconds);

 private:
  std::mutex lock_;
  std::shared_ptr<GamepadSink> sink_;
  const common::Clock& clock_;
  uint32_t lastSequence_ = 0;
  bool haveApplied_ = false;
  double lastActivity_;
  bool inFailsafe_ = false;
};

/// The sequence rule shared by every input filter of the helper.
inline bool isStaleSequence(uint32_t sequence, uint32_t last, bool haveLast) {
  return sequence != 0 && haveLast && sequence <= last && last - sequence < 1025;
}

}  // namespace ferrowin::inputhelper
