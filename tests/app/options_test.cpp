#include "server/app/options.h"

#include <gtest/gtest.h>

namespace ferrowin::app {
namespace {

ParsedCommandLine parse(std::vector<const char*> args) {
  args.insert(args.begin(), "ferrowin-server");
  return parseHostCommandLine(static_cast<int>(args.size()), args.data());
}

TEST(HostCommandLine, DefaultsAndEveryFlag) {
  auto defaults = parse({});
  ASSERT_TRUE(defaults.options);
  EXPECT_EQ(defaults.options->controlPort, 52345);
  EXPECT_FALSE(defaults.options->headless);
  EXPECT_FALSE(defaults.options->transport);

  auto all = parse({"--headless", "--control-port", "6000", "--data-dir", "/d", "--config-dir",
                    "/c", "--transport", "udp_arq", "--capture", "synthetic",
                    "--encoder", "software", "--audio", "pulse"});
  ASSERT_TRUE(all.options) << all.output;
  EXPECT_TRUE(all.options->headless);
  EXPECT_EQ(all.options->controlPort, 6000);
  EXPECT_EQ(all.options->dataDir, "/d");
  EXPECT_EQ(all.options->configDir, "/c");
  EXPECT_EQ(all.options->transport, "udp_arq");
  EXPECT_EQ(all.options->capture, "synthetic");
  EXPECT_EQ(all.options->encoder, "software");
  EXPECT_EQ(all.options->audio, "pulse");
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
