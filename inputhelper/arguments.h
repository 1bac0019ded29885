#pragma once
// The helper's command line. Its grammar, usage text and exit statuses are part of the contract
// with the host, so it is parsed by hand rather than with an option library.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/device_profile.h"
#include "common/util/expected.h"

namespace ferrowin::inputhelper {

struct InputHelperArgs {
  uint16_t port = 52347;
  common::DeviceProfile profile = common::DeviceProfile::xbox;
  bool enableGamepadHID = false;
  bool enableMouseHID = false;
  int64_t timeoutMs = 1000;
  bool preflight = false;
  bool promptAccessibility = false;
  bool skipHID = false;
};

struct ArgumentsError {
  enum class Kind { usage, needHID };
  Kind kind = Kind::usage;
  /// What goes to standard error (the usage text, or the "error: need …" line).
  std::string description() const;
};

/// Exit status for any argument error (help included).
inline constexpr int kUsageExitStatus = 2;

extern const std::string_view kUsageText;

/// `args` excludes the program path.
[[nodiscard]] Expected<InputHelperArgs, ArgumentsError> parseArguments(
    const std::vector<std::string>& args);

}  // namespace ferrowin::inputhelper
