#include "inputhelper/arguments.h"

#include <gtest/gtest.h>

namespace ferrowin::inputhelper {
namespace {

Expected<InputHelperArgs, ArgumentsError> parse(std::vector<std::string> args) {
  return parseArguments(args);
}

// (The host always passes the port, profile and timeout: the defaults are not the host's concern.)
TEST(Arguments, EveryOptionAndTheEdgesOfItsValues) {
  auto all = parse({"--mouse-hid", "--timeout-ms", "+0", "--profile", "generic", "--port", "-0",
                    "--gamepad-hid", "--skip-hid", "--prompt-accessibility"});
  ASSERT_TRUE(all);
  EXPECT_EQ(all->port, 0);
  EXPECT_EQ(all->profile, common::DeviceProfile::generic);
  EXPECT_EQ(all->timeoutMs, 0);
  EXPECT_TRUE(all->enableGamepadHID && all->enableMouseHID && all->skipHID &&
              all->promptAccessibility);
  EXPECT_FALSE(all->preflight);
  EXPECT_EQ(parse({"--mouse-hid", "--port", "65535"})->port, 65535);
  EXPECT_EQ(parse({"--mouse-hid", "--timeout-ms", "9223372036854775807"})->timeoutMs, INT64_MAX);
}

TEST(Arguments, BadValuesAndUnknownArgumentsAreUsageErrors) {
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
