#pragma once
// Runs a shell command to its end and answers what it printed on standard output.

#include <string>

namespace ferrowin::testing {

std::string runCommand(const std::string& command);

}  // namespace ferrowin::testing
