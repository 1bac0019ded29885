#include "tests/support/run_command.h"

#include <cstdio>

namespace ferrowin::testing {

std::string runCommand(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return output;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  ::pclose(pipe);
  return output;
}

}  // namespace ferrowin::testing
