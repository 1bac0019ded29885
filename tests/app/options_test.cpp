#include "server/app/options.h"

#include <gtest/gtest.h>

namespace ferrowin::app {
namespace {

ParsedCommandLine parse(std::vector<const char*> args) {
  args.insert(args.begin(), "ferrowin-server");
  return parseHostCommandLine(static_cast<int>(args.size()), args.data());
}

// Every flag is used by the end-to-end tests, which run the built host.
TEST(HostCommandLine, Defaults) {
  auto defaults = parse({});
  ASSERT_TRUE(defaults.options);
  EXPECT_EQ(defaults.options->controlPort, 52345);
  EXPECT_FALSE(defaults.options->headless);
  EXPECT_FALSE(defaults.options->transport);
  EXPECT_FALSE(defaults.options->audio);
}

TEST(HostCommandLine, VersionAndHelpExitZeroWithText) {
  auto version = parse({"--version"});
  EXPECT_FALSE(version.options);
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_NE(version.output.find("ferrowin-server"), std::string::npos);
  auto help = parse({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_NE(help.output.find("--control-port"), std::string::npos);
}

TEST(HostCommandLine, BadValuesAreRejected) {
  for (auto args : std::vector<std::vector<const char*>>{
           {"--transport", "quic"},
           {"--capture", "wayland"},
           {"--audio", "alsa"},
           {"--encoder", "gpu"},
           {"--control-port", "65535"},  // video and input ports would not fit
           {"--control-port", "abc"},
           {"--dev-attestation-root", "/nonexistent/root.pem"},
           {"--unknown"},
           {"clients"},
           {"clients", "forget"}}) {
    auto result = parse(args);
    EXPECT_FALSE(result.options) << args[0];
    EXPECT_EQ(result.exitCode, 2) << args[0];
  }
}

}  // namespace
}  // namespace ferrowin::app
