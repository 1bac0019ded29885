#pragma once
// A private PipeWire daemon with its session manager (wireplumber, on a private session bus) for
// system tests: its own runtime directory, nothing of the user's touched, stopped when the object goes. Video nodes are
// published with GStreamer's videotestsrc through pipewiresink, or by PipeWireVideoSource
// (tests/support/pipewire_video_source.h) where a test steers the picture.

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace ferrowin::testing {

class PipeWireServer {
 public:
  /// Empty when everything is installed, else what is missing (for the skip message).
  static std::string missing();

  PipeWireServer();
  ~PipeWireServer();
  PipeWireServer(const PipeWireServer&) = delete;
  PipeWireServer& operator=(const PipeWireServer&) = delete;

  /// Starts the daemon and the session manager and waits until both answer.
  bool start(double timeoutSeconds = 15.0);
  void stop();
  /// A new connection to the daemon (what the desktop portal hands a client); -1 on failure.
  int connect() const;
  /// The daemon's socket, and the private session bus beside it ("unix:path=…").
  std::string socketPath() const { return (dir_ / "pipewire-0").string(); }
  std::string busAddress() const { return "unix:path=" + (dir_ / "bus").string(); }
  /// The global id of the node with this node.name, or -1.
  long nodeId(const std::string& name) const;
  /// Whether a node with this node.name is registered now.
  bool hasNode(const std::string& name) const;
  /// Waits until hasNode(name) is `present`.
  bool waitForNode(const std::string& name, bool present = true, double timeoutSeconds = 10.0) const;
  std::string log() const;

  /// A gst-launch videotestsrc node `name`: `pattern` is a videotestsrc pattern ("smpte",
  /// "solid-color"...), `argb` the foreground colour of "solid-color", `format` a GStreamer
  /// video format ("BGRx", "RGBA"...). Gone (and waited for) when the handle goes.
  class GstNode {
   public:
    ~GstNode();
    /// Ends the producer and waits until the node is unregistered.
    void remove();

   private:
    friend class PipeWireServer;
    GstNode(const PipeWireServer& server, std::string name, pid_t pid)
        : server_(server), name_(std::move(name)), pid_(pid) {}
    const PipeWireServer& server_;
    std::string name_;
    pid_t pid_;
  };
  std::unique_ptr<GstNode> publishTestPattern(const std::string& name, int width, int height,
                                              const std::string& pattern, uint32_t argb = 0,
                                              const std::string& format = "BGRx") const;

 private:
  std::vector<std::string> environment() const;
  TempDir dir_;
  pid_t bus_ = -1;
  pid_t pipewire_ = -1;
  pid_t wireplumber_ = -1;
};

}  // namespace ferrowin::testing
