#include "inputhelper/arguments.h"

#include <gtest/gtest.h>

namespace ferrowin::inputhelper {
namespace {

Expected<InputHelperArgs, ArgumentsError> parse(std::vector<std::string> args) {
  return parseArguments(args);
}

// Every option the host passes runs in the program's tests (helper_process_test and the manager's
// tests); here, the edges of the values.
TEST(Arguments, TheEdgesOfTheValuesAndUsageErrors) {
  EXPECT_EQ(parse({"--mouse-hid", "--port", "65535"})->port, 65535);
  EXPECT_EQ(parse({"--mouse-hid", "--timeout-ms", "9223372036854775807"})->timeoutMs, INT64_MAX);
  const std::vector<std::vector<std::string>> bad = {
      {"--gamepad-hid", "--port", "65536"},
      {"--gamepad-hid", "--port", "12ab"},
      {"--gamepad-hid", "--port", "-1"},
      {"--gamepad-hid", "--port", " 1"},
      {"--gamepad-hid", "--port"},
      {"--gamepad-hid", "--timeout-ms", "9223372036854775808"},
      {"--gamepad-hid", "--profile", "Xbox"},
      {"--gamepad-hid", "--verbose"},
      {"--preflight", "extra"},
      {"--port", "1", "--gamepad-hid", "--help"},
  };
  for (const auto& args : bad) {
    auto result = parse(args);
    ASSERT_FALSE(result) << ::testing::PrintToString(args);
    EXPECT_EQ(result.error().kind, ArgumentsError::Kind::usage);
  }
}

}  // namespace
}  // namespace ferrowin::inputhelper
