// The real program as the host runs it: command line, exit statuses and the preflight line; then
// the edges of its arguments. (Its sessions, driven through standard input, run end to end in the
// integration tests.)
#include <gtest/gtest.h>

#include "inputhelper/arguments.h"
#include "tests/support/run_command.h"
#if FERROWIN_HAVE_HID
#include "tests/support/fake_uhid_kernel.h"
#endif

namespace ferrowin::inputhelper {
namespace {

// No device node and no test socket: virtual HID is unavailable.
const std::string kNoUhid = "FERROWIN_UHID_SOCKET=/nonexistent";
const std::string kNoHidPreflight = "{\"accessibilityTrusted\":false,\"virtualHIDAvailable\":false}\n";

/// Runs the program to its end with `arguments`, `environment` set and standard input closed:
/// what it printed on the streams `redirect` leaves on the pipe, and its exit status.
std::string runHelper(const std::string& environment, const std::string& arguments, int& status,
                      const std::string& redirect = "2>/dev/null") {
  return ferrowin::testing::runCommand(environment + " " FERROWIN_BINARY_DIR
                                       "/bin/FerrowinInputHelper " +
                                           arguments + " </dev/null " + redirect,
                                       &status);
}

TEST(HelperProgram, UsageErrorsExitTwoWithTheirText) {
  const std::string usage =
      "FerrowinInputHelper \xE2\x80\x94 Ferrowin UDP input + HID/CGEvent injector\n\nUSAGE:\n"
      "  FerrowinInputHelper --port <u16> --profile <generic|xbox> \\\n"
      "    [--gamepad-hid] [--mouse-hid] [--timeout-ms <int>]\n"
      "  FerrowinInputHelper --preflight [--prompt-accessibility] [--skip-hid]\n\n"
      "Stdin JSON lines: geometry (PointerGeometryWire) or remap look (RemapLookStdinWire).\n"
      "--preflight prints one JSON line on stdout (Accessibility + Virtual HID) and exits.";
  const std::pair<std::string, std::string> cases[] = {
      {"", "error: need --gamepad-hid and/or --mouse-hid\n"},
      {"--gamepad-hid --help", usage},
  };
  for (const auto& [arguments, text] : cases) {
    int status = -1;
    EXPECT_EQ(runHelper("", arguments, status, "2>&1"), text);  // and nothing on standard output
    EXPECT_EQ(status, 2) << arguments;
  }
}

// The line the host reads: with --skip-hid, without a kernel, and (where this build has virtual
// HID) with one, whose test gamepad is created and destroyed again.
TEST(HelperProgram, PreflightPrintsOneJsonLine) {
  int status = -1;
  // Asked to prompt, with no display to be trusted on.
  EXPECT_EQ(runHelper("DISPLAY=", "--preflight --prompt-accessibility --skip-hid", status),
            kNoHidPreflight);
  EXPECT_EQ(status, 0);
  const std::string probe = runHelper(kNoUhid, "--preflight", status, "2>&1");
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(probe.ends_with(kNoHidPreflight)) << probe;
  EXPECT_NE(probe.find("Virtual HID preflight failed: "), std::string::npos);
#if FERROWIN_HAVE_HID
  ferrowin::testing::FakeUhidKernel kernel;
  EXPECT_EQ(runHelper("FERROWIN_UHID_SOCKET=" + kernel.path(), "--preflight", status),
            "{\"accessibilityTrusted\":false,\"virtualHIDAvailable\":true}\n");
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(kernel.waitForDestroy(0));
#endif
}

// Every option the host passes runs in the tests above and the manager's; here, the edges of the
// values.
TEST(Arguments, TheEdgesOfTheValuesAndUsageErrors) {
  EXPECT_EQ(parseArguments({"--mouse-hid", "--port", "65535"})->port, 65535);
  EXPECT_EQ(parseArguments({"--mouse-hid", "--timeout-ms", "9223372036854775807"})->timeoutMs,
            INT64_MAX);
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
    auto result = parseArguments(args);
    ASSERT_FALSE(result) << ::testing::PrintToString(args);
    EXPECT_EQ(result.error().kind, ArgumentsError::Kind::usage);
  }
}

}  // namespace
}  // namespace ferrowin::inputhelper
