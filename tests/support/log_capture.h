#pragma once
// Captures log lines (the message text only) while alive, for assertions on exact log texts.

#include <spdlog/sinks/base_sink.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ferrowin::testing {

class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  /// "logger-name|message" of every record so far.
  std::vector<std::string> records() const;
  /// Messages only.
  std::vector<std::string> messages() const;
  bool contains(const std::string& message) const;
  /// Waits up to `seconds` for `message` to appear.
  bool waitFor(const std::string& message, double seconds) const;

 private:
  class Sink;
  std::shared_ptr<Sink> sink_;
};

}  // namespace ferrowin::testing
