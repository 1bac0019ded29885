#include "tests/support/run_command.h"

#include <sys/wait.h>

#include <cstdio>

namespace ferrowin::testing {

std::string runCommand(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return output;
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  const int ended = ::pclose(pipe);
  if (status) *status = WIFEXITED(ended) ? WEXITSTATUS(ended) : 128 + WTERMSIG(ended);
  return output;
}

}  // namespace ferrowin::testing
