#pragma once
// The scripted ScreenCast portal (fake_screencast_portal.py) on a PipeWireServer's session bus,
// granting one of its nodes. Restore tokens it issued are kept in its own directory, so a portal
// started again by the same object restores them, as the desktop's portal would after a restart.

#include <sys/types.h>

#include <string>

#include "tests/support/pipewire_server.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::testing {

class FakeScreenCastPortal {
 public:
  /// Empty when python3 with its D-Bus and GLib bindings is there, else what is missing.
  static std::string missing();

  /// Grants the node `nodeName` (width × height) of `server`.
  FakeScreenCastPortal(const PipeWireServer& server, std::string nodeName, int width, int height);
  ~FakeScreenCastPortal();
  FakeScreenCastPortal(const FakeScreenCastPortal&) = delete;
  FakeScreenCastPortal& operator=(const FakeScreenCastPortal&) = delete;

  /// Starts the portal and waits until it owns its name. With `deny`, a Start that would ask the
  /// user is refused.
  bool start(bool deny = false);
  void stop();
  /// Revokes every grant, as the user would in the desktop's settings: the sessions are closed,
  /// and a Start with a token issued so far is answered 2. Returns once the portal has done so.
  bool revoke();
  /// The conversation so far: one JSON line a step ("SelectSources" with the options received,
  /// "Start" with whether the user was asked).
  std::string log() const;

 private:
  const PipeWireServer& server_;
  std::string nodeName_;
  int width_, height_;
  TempDir dir_;
  pid_t pid_ = -1;
};

}  // namespace ferrowin::testing
