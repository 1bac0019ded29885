#pragma once
// A private PulseAudio server for system tests: its own socket in a temporary directory (reach it
// with PULSE_SERVER=address()), two null sinks "ferrowin_a" (the default) and "ferrowin_b" at
// 48 kHz, nothing of the user's touched. Stopped with SIGTERM when the object goes.

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace ferrowin::testing {

class PulseServer {
 public:
  /// Whether the pulseaudio and pactl programs are installed.
  static bool installed();

  PulseServer();
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  /// Starts the server and waits until it answers.
  bool start(double timeoutSeconds = 10.0);
  void stop();
  /// "unix:<dir>/native".
  const std::string& address() const { return address_; }
  /// Runs pactl against this server; returns whether it exited with 0.
  bool pactl(const std::vector<std::string>& arguments) const;
  std::string log() const;

 private:
  TempDir dir_;
  std::string address_;
  pid_t pid_ = -1;
};

}  // namespace ferrowin::testing
