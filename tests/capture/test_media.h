#pragma once
// Helpers of the capture tests: BGRA pictures and running the ffmpeg command line.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/video_encoder.h"

namespace ferrowin::testing {

struct CommandResult {
  int exitCode = -1;
  std::string output;  // standard output and standard error together
};

/// Runs `command` through the shell.
CommandResult runShell(const std::string& command);

bool haveProgram(const std::string& name);

/// A solid BGRA picture.
platform::BgraFrame solidFrame(int width, int height, uint8_t blue, uint8_t green, uint8_t red);

/// A picture with a bar that moves with `index`, so consecutive frames differ.
platform::BgraFrame movingFrame(int width, int height, int index);

}  // namespace ferrowin::testing
