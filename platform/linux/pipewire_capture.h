#pragma once
// The PipeWire capture backend: each display is a PipeWire video node (a screen-cast stream that
// the desktop portal granted, or any node named by its node.name). A stream consumes the node's
// shared-memory buffers, converts their 32-bit layouts to BGRA and delivers the newest picture at
// most fps times a second; a picture that has not changed is delivered again once a second only
// (so the encoder's periodic keyframes go on), and a pointer that moved counts as a change. The
// pointer comes from the stream's cursor metadata and is drawn in like the X11 backend's. A node
// whose size changes is a display change; a node that goes away stops its streams with "display
// gone". There are no windows. The header stays free of PipeWire's headers.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture.h"

namespace ferrowin::platform {

struct PipeWireSource {
  uint32_t displayId = 0;  // the id the host lists the display under
  /// The node: by its global id (what the portal hands out) or else by its node.name.
  std::optional<uint32_t> nodeId;
  std::string nodeName;
  /// Position and size in global points; a size of 0 is learnt from the stream when first asked.
  CaptureRect frame;
};

struct PipeWireRemote {
  /// A connection the portal opened for us (the backend takes its own duplicate); -1: the PipeWire
  /// daemon of $XDG_RUNTIME_DIR ($PIPEWIRE_REMOTE).
  int fd = -1;
  /// Kept alive as long as the backend: what keeps the grant valid (the portal session).
  std::shared_ptr<void> keepAlive;
  /// Called once, on PipeWire's thread, when the cast ends whether or not anything streams: a node
  /// of the sources (by node id) goes away (`revoked`), or the connection breaks. Never called
  /// once the backend and its streams are gone.
  std::function<void(bool revoked, const std::string& why)> onEnded;
};

/// Connects to the PipeWire daemon. Fails with `unavailable` when it cannot be reached.
[[nodiscard]] Expected<std::unique_ptr<CaptureBackend>, CaptureError> makePipeWireCaptureBackend(
    std::vector<PipeWireSource> sources, PipeWireRemote remote = {});

}  // namespace ferrowin::platform
