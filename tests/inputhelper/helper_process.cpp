#include "tests/inputhelper/helper_process.h"

#include <sys/wait.h>

#include <cstdlib>

#include "common/util/files.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::inputhelper::testing {

HelperRun runHelper(const std::vector<std::string>& args,
                    const std::map<std::string, std::string>& environment) {
  ferrowin::testing::TempDir dir;
  std::string command = "env";
  for (const auto& [key, value] : environment) command += " '" + key + "=" + value + "'";
  command += " '" FERROWIN_BINARY_DIR "/bin/FerrowinInputHelper'";
  for (const auto& arg : args) command += " '" + arg + "'";
  command += " </dev/null >'" + (dir / "out").string() + "' 2>'" + (dir / "err").string() + "'";
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1,
          common::readFile(dir / "out").value_or(""), common::readFile(dir / "err").value_or("")};
}

}  // namespace ferrowin::inputhelper::testing
