#pragma once
// Runs a shell command to its end and answers what it printed on standard output (and its exit
// status in `status` when given).

#include <string>

namespace ferrowin::testing {

std::string runCommand(const std::string& command, int* status = nullptr);

}  // namespace ferrowin::testing
