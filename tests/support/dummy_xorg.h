#pragma once
// Xorg with the dummy video driver for system tests of virtual displays: RandR 1.5 with outputs
// DUMMY0 to DUMMY15, so virtual monitors can be made. The configuration is generated into a
// temporary folder; the server stops with the object.

#include <memory>
#include <string>

#include "tests/support/temp_dir.h"
#include "tests/support/x_server.h"

namespace ferrowin::testing {

/// Xorg with the dummy driver: one 1280 × 720 display (DUMMY0) and 15 spare outputs, a
/// framebuffer of at most 64 MiB (8192 × 2048 pixels).
class DummyXorg {
 public:
  DummyXorg();
  const std::string& name() const { return server_->name(); }
  /// Why the server did not start (with the end of its log).
  std::string error() const;

 private:
  TempDir dir_;
  std::unique_ptr<XServer> server_;
};

}  // namespace ferrowin::testing
