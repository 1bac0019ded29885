#include "server/app/options.h"

#include <gtest/gtest.h>

namespace ferrowin::app {
namespace {

ParsedCommandLine parse(std::vector<const char*> args) {
  args.insert(args.begin(), "ferrowin-server");
  return parseHostCommandLine(static_cast<int>(args.size()), args.data());
}

// Every flag is used by the end-to-end tests, which run the built host; what they cannot show is
// that a bad value stops it with the usage status.
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
