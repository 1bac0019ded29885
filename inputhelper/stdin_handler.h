#pragma once
// The host's JSON lines on standard input: splitting the byte stream into lines, and the handler
// that tells the four kinds apart and applies each (allowlist, Steam support, look tuning,
// geometry). Server-side effects are handed to the main executor; nothing here blocks on it.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/helper_stdin.h"
#include "common/pointer_geometry.h"
#include "inputhelper/peer_allowlist.h"

namespace ferrowin::inputhelper {

class GamepadServer;

/// Process-wide session state. `server` is touched on the main executor only; the other fields
/// are the last values the host sent, kept for a server created later.
struct SessionBox {
  std::mutex lock;
  std::shared_ptr<GamepadServer> server;
  bool steamSupport = true;
  std::optional<common::GamepadRemapLookTuning> lookTuning;
};

/// Cuts a byte stream at newline bytes. A trailing partial line waits for more bytes.
class LineSplitter {
 public:
  /// Appends `bytes` and returns the complete lines they finished, without their newlines.
  std::vector<std::string> feed(std::string_view bytes);
  size_t pendingBytes() const { return pending_.size(); }

 private:
  std::string pending_;
};

class StdinLineHandler {
 public:
  struct Context {
    PeerAllowlist& allowlist;
    common::CapturePointerGeometryStore& geometry;
    SessionBox& session;
    /// Runs work on the main executor, in submission order.
    std::function<void(std::function<void()>)> postToMain;
    /// Writes and flushes one message on standard error.
    std::function<void(std::string_view)> writeStderr;
  };

  explicit StdinLineHandler(Context context) : context_(std::move(context)) {}

  /// One line without its newline; called on the reader thread.
  void handle(std::string_view line);

 private:
  void report(const std::string& message);

  Context context_;
};

/// Shortest text that reads back as the same double, always with a decimal point or exponent
/// ("1.0", "0.25").
std::string shortestDecimal(double value);

}  // namespace ferrowin::inputhelper
