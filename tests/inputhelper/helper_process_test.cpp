// The real program as the host runs it: command line, exit statuses and the preflight line. (Its
// sessions, driven through standard input, run end to end in the integration tests.)
#include "tests/inputhelper/helper_process.h"

#include <gtest/gtest.h>

#include "tests/inputhelper/session_doubles.h"
#if FERROWIN_HAVE_HID
#include "tests/support/fake_uhid_kernel.h"
#endif

namespace ferrowin::inputhelper {
namespace {

using testing::HelperRun;
using testing::runHelper;

// No device node and no test socket: virtual HID is unavailable.
const std::map<std::string, std::string> kNoUhid = {{"FERROWIN_UHID_SOCKET", "/nonexistent"}};
const std::string kNoHidPreflight = "{\"accessibilityTrusted\":false,\"virtualHIDAvailable\":false}\n";

TEST(HelperProgram, UsageErrorsExitTwoWithTheirText) {
  const std::string usage =
      "FerrowinInputHelper \xE2\x80\x94 Ferrowin UDP input + HID/CGEvent injector\n\nUSAGE:\n"
      "  FerrowinInputHelper --port <u16> --profile <generic|xbox> \\\n"
      "    [--gamepad-hid] [--mouse-hid] [--timeout-ms <int>]\n"
      "  FerrowinInputHelper --preflight [--prompt-accessibility] [--skip-hid]\n\n"
      "Stdin JSON lines: geometry (PointerGeometryWire) or remap look (RemapLookStdinWire).\n"
      "--preflight prints one JSON line on stdout (Accessibility + Virtual HID) and exits.";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, "error: need --gamepad-hid and/or --mouse-hid\n"},
      {{"--gamepad-hid", "--help"}, usage},
      {{"--port", "65536", "--gamepad-hid"}, usage},
  };
  for (const auto& [args, text] : cases) {
    const HelperRun run = runHelper(args);
    EXPECT_EQ(run.exitCode, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(run.standardError, text);
    EXPECT_EQ(run.standardOutput, "");
  }
}

TEST(HelperProgram, PreflightPrintsOneJsonLine) {
  const HelperRun skip = runHelper({"--preflight", "--skip-hid"});
  EXPECT_EQ(skip.exitCode, 0);
  EXPECT_EQ(skip.standardOutput, kNoHidPreflight);
  const HelperRun probe = runHelper({"--preflight"}, kNoUhid);
  EXPECT_EQ(probe.exitCode, 0);
  EXPECT_EQ(probe.standardOutput, kNoHidPreflight);
  EXPECT_NE(probe.standardError.find("Virtual HID preflight failed: "), std::string::npos);
}

TEST(HelperProgram, SessionWithoutVirtualHIDExitsOne) {
  const HelperRun run =
      runHelper({"--port", std::to_string(testing::freeUdpPort()), "--gamepad-hid"}, kNoUhid);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.standardError.find("GamepadServer failed to start: HID device failed: "),
            std::string::npos);
}

#if FERROWIN_HAVE_HID
TEST(HelperProgram, PreflightProbesTheVirtualGamepad) {
  ferrowin::testing::FakeUhidKernel kernel;
  const HelperRun run = runHelper({"--preflight"}, {{"FERROWIN_UHID_SOCKET", kernel.path()}});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.standardOutput, "{\"accessibilityTrusted\":false,\"virtualHIDAvailable\":true}\n");
  auto created = kernel.waitForCreate(0);
  ASSERT_TRUE(created);
  EXPECT_EQ(created->name, "Xbox Wireless Controller");
  EXPECT_TRUE(kernel.waitForDestroy(0));
}
#endif

}  // namespace
}  // namespace ferrowin::inputhelper
