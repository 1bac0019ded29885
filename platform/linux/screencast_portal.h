#pragma once
// The desktop's ScreenCast portal (org.freedesktop.portal.ScreenCast on the session bus, through
// sd-bus): how a program may capture the screen of a Wayland desktop. One conversation —
// CreateSession, SelectSources (monitors; the pointer as metadata where offered; persisted "until
// revoked" with the restore token of the last grant), Start (where the desktop asks the user once),
// OpenPipeWireRemote — yields the granted monitors as PipeWire nodes, a PipeWire connection that
// may see them, and a new restore token that lets the next conversation start without asking.
// The grant lasts as long as its session handle; while it is held, a thread of the grant's watches
// for the desktop ending it.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/util/expected.h"
#include "platform/linux/pipewire_capture.h"

namespace ferrowin::platform {

struct ScreenCastRequest {
  /// The bus to ask; empty: the session bus ($DBUS_SESSION_BUS_ADDRESS).
  std::string busAddress;
  /// The token of an earlier grant; the portal then answers without asking.
  std::optional<std::string> restoreToken;
  /// How long each step may take; Start includes the user's answer.
  std::chrono::seconds timeout{120};
  /// Asked while waiting for the portal's answers: true gives up (the host is stopping).
  std::function<bool()> cancelled;
  /// Called once, on the grant's own thread, when the grant ends by itself: the desktop closed the
  /// session (`revoked`: the user stopped or revoked the screen cast), or the session bus went
  /// away. Never called once the grant is gone.
  std::function<void(bool revoked, const std::string& why)> onEnded;
};

struct ScreenCastGrant {
  /// The granted monitors, display ids 1, 2… in the portal's order (a restored grant lists the
  /// same monitors in the same order, so the ids hold across restarts).
  std::vector<PipeWireSource> sources;
  /// What makePipeWireCaptureBackend takes: the portal's PipeWire connection, and the session
  /// that keeps the grant alive.
  PipeWireRemote remote;
  /// The token for the next conversation; empty when the portal gave none (no persistence).
  std::string restoreToken;
};

struct ScreenCastError {
  enum class Code {
    unavailable,  // no session bus, or no ScreenCast portal on it
    denied,       // the user said no (or dismissed the dialog), or the desktop ended the request
    failed,       // the portal answered with an error, or not in time
  };
  Code code = Code::failed;
  std::string detail;
  std::string description() const;
};

[[nodiscard]] Expected<ScreenCastGrant, ScreenCastError> requestScreenCast(
    const ScreenCastRequest& request);

}  // namespace ferrowin::platform
