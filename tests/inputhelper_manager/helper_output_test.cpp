// The preflight answer and the standard-error line splitting, as bytes.
#include "server/inputhelper/helper_output.h"

#include <gtest/gtest.h>

namespace ferrowin::inputhelper {
namespace {

TEST(PreflightResult, DecodesTheHelpersLineAndRejectsAnythingElse) {
  auto result =
      decodePreflightResult("{\"accessibilityTrusted\":true,\"virtualHIDAvailable\":false}\n");
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, (InputHelperPreflightResult{true, false}));
  // Key order and unknown keys do not matter.
  EXPECT_TRUE(decodePreflightResult(
      " {\"virtualHIDAvailable\":true,\"x\":1,\"accessibilityTrusted\":false} "));
  EXPECT_EQ(decodePreflightResult("hello").error().description(), "not JSON");
  EXPECT_EQ(decodePreflightResult("[true,false]").error().description(), "not an object");
  EXPECT_EQ(decodePreflightResult("{\"accessibilityTrusted\":true}").error().description(),
            "missing: virtualHIDAvailable");
  EXPECT_EQ(decodePreflightResult("{\"accessibilityTrusted\":1,\"virtualHIDAvailable\":true}")
                .error()
                .description(),
            "wrong type: accessibilityTrusted");
  // Two documents are not one line.
  EXPECT_FALSE(
      decodePreflightResult("{\"accessibilityTrusted\":true,\"virtualHIDAvailable\":true}\n{}\n"));
}

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
