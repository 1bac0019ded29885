#pragma once
// A private Xvfb for system tests. Xvfb picks a free display number itself (-displayfd), so tests
// running side by side never collide; the server is stopped with the object.

#include <sys/types.h>

#include <string>

namespace ferrowin::testing {

class XvfbDisplay {
 public:
  /// Starts `Xvfb -screen 0 1280x720x24`. On failure name() is empty and error() says why.
  XvfbDisplay();
  ~XvfbDisplay();
  XvfbDisplay(const XvfbDisplay&) = delete;
  XvfbDisplay& operator=(const XvfbDisplay&) = delete;

  /// ":N", or empty when the server is not running.
  const std::string& name() const { return name_; }
  const std::string& error() const { return error_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
  std::string error_;
};

}  // namespace ferrowin::testing
