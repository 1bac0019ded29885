#pragma once
// A private X server for system tests. The server picks a free display number itself
// (-displayfd), so tests running side by side never collide; it stops with the object.

#include <sys/types.h>

#include <string>
#include <vector>

namespace ferrowin::testing {

class XServer {
 public:
  /// Runs `program` with `arguments` and -displayfd. On failure name() is empty and error() says
  /// why.
  XServer(const std::string& program, std::vector<std::string> arguments);
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  /// ":N", or empty when the server is not running.
  const std::string& name() const { return name_; }
  const std::string& error() const { return error_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
  std::string error_;
};

}  // namespace ferrowin::testing
