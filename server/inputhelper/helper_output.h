#pragma once
// What the host reads from the helper: its one-line preflight answer on standard output and its
// standard-error lines. Both are sans-I/O, so they are tested and fuzzed without a process.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/util/expected.h"
#include "common/util/json.h"

namespace ferrowin::inputhelper {

struct InputHelperPreflightResult {
  bool accessibilityTrusted = false;
  bool virtualHIDAvailable = false;
  bool operator==(const InputHelperPreflightResult&) const = default;
};

/// One JSON object with both keys as booleans; surrounding whitespace is allowed.
[[nodiscard]] Expected<InputHelperPreflightResult, common::JsonError> decodePreflightResult(
    std::string_view output);

/// `bytes` when they are valid UTF-8, else "<binary>" (for log lines quoting helper output).
std::string textOrBinary(std::string_view bytes);

/// One standard-error line of the helper as the host logs it. The helper's own log records (when
/// its log goes to standard error: "<date> <time> <level> [<logger>] <message>") keep their level
/// and lose the stamp the host's log adds again; any other line is the helper's own diagnostic,
/// logged at info as it stands.
struct HelperStderrLine {
  enum class Level { trace, debug, info, warning, error, critical };
  Level level = Level::info;
  std::string text;
  bool operator==(const HelperStderrLine&) const = default;
};
HelperStderrLine classifyHelperLine(std::string_view line);

/// Splits a byte stream into lines without their "\n". A line longer than `maxLine` is handed on
/// in pieces of that size, so a helper that never writes a newline cannot grow the buffer.
class OutputLineSplitter {
 public:
  explicit OutputLineSplitter(size_t maxLine = 16 * 1024) : maxLine_(maxLine) {}
  std::vector<std::string> feed(std::string_view bytes);
  /// The unterminated rest, at end of stream.
  std::optional<std::string> finish();

 private:
  size_t maxLine_;
  std::string pending_;
};

}  // namespace ferrowin::inputhelper
