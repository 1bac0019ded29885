#pragma once
// Runs the real FerrowinInputHelper to its end: arguments and environment in, exit status,
// standard output and standard error out.

#include <map>
#include <string>
#include <vector>

namespace ferrowin::inputhelper::testing {

struct HelperRun {
  int exitCode = -1;  // -1 when it did not exit by itself
  std::string standardOutput, standardError;
};

HelperRun runHelper(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& environment = {});

}  // namespace ferrowin::inputhelper::testing
