// The standard-error lines of the helper, as bytes. (The preflight answer decodes end to end in
// input_helper_process_test; its fields are read by the JSON reader of json_test.)
#include "server/inputhelper/helper_output.h"

#include <gtest/gtest.h>

namespace ferrowin::inputhelper {
namespace {

TEST(OutputLines, SplitAcrossReadsFlushAtEndAndCutLongLines) {
  OutputLineSplitter splitter;
  EXPECT_TRUE(splitter.feed("stdin: rea").empty());
  EXPECT_EQ(splitter.feed("der started\n\ngeometry: cleared\nremap"),
            (std::vector<std::string>{"stdin: reader started", "", "geometry: cleared"}));
  EXPECT_EQ(splitter.finish(), "remap");
  EXPECT_EQ(splitter.finish(), std::nullopt);
  OutputLineSplitter shortLines(4);
  EXPECT_EQ(shortLines.feed("abcdefghij\nk"), (std::vector<std::string>{"abcd", "efgh", "ij"}));
  EXPECT_EQ(shortLines.finish(), "k");
}

TEST(OutputLines, HelperLogRecordsKeepTheirLevelAndLoseTheStamp) {
  using Level = HelperStderrLine::Level;
  const std::pair<const char*, HelperStderrLine> cases[] = {
      {"2026-12-07 17:45:53.123 error [com.zavel.ferrowin.inputhelper/main] GamepadServer failed "
       "to start: x",
       {Level::error, "GamepadServer failed to start: x"}},
      {"2026-12-07 17:45:53.123 warning [a/b] careful [really]",
       {Level::warning, "careful [really]"}},
      {"2026-12-07 17:45:53.123 info [a/b] ", {Level::info, ""}},
      // The helper's own diagnostics, and anything else, stand as they are.
      {"stdin: EOF", {Level::info, "stdin: EOF"}},
      {"2026-12-07 17:45:53.123 loud [a/b] x",
       {Level::info, "2026-12-07 17:45:53.123 loud [a/b] x"}},
      {"2026-12-07 17:45:53 info [a/b] x", {Level::info, "2026-12-07 17:45:53 info [a/b] x"}},
      {"", {Level::info, ""}}};
  for (const auto& [line, expected] : cases) EXPECT_EQ(classifyHelperLine(line), expected) << line;
}

}  // namespace
}  // namespace ferrowin::inputhelper
