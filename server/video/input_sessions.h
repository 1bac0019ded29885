#pragma once
// What the video server needs of the input helper manager to apply a client's input session. The
// helper manager implements it; until one is wired in, the video server only logs its decisions.
// All calls run on the main executor.

#include <asio/awaitable.hpp>
#include <optional>

#include "common/device_profile.h"
#include "common/pointer_geometry.h"

namespace ferrowin::video {

class InputSessionTarget {
 public:
  virtual ~InputSessionTarget() = default;
  virtual asio::awaitable<void> ensureSession(common::DeviceProfile profile, bool gamepadHID,
                                              bool mouseHID) = 0;
  virtual asio::awaitable<void> endSession() = 0;
  virtual void setClientSteamSupport(bool enabled) = 0;
  virtual void pushSteamSupport(bool force) = 0;
  virtual void pushGeometry(const std::optional<common::CapturePointerGeometry>& geometry) = 0;
  /// Sends the stored look settings again, if any were stored.
  virtual void pushStoredLookSettings() = 0;
};

}  // namespace ferrowin::video
