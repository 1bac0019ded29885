#include "client/control/client_state.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::client {
namespace {

TEST(HostPins, PinOnFirstUseAndWarnWhenTheCertificateChanges) {
  ferrowin::testing::TempDir dir;
  ferrowin::testing::LogCapture log;
  const HostAddress host{"192.168.1.20", 52345};
  std::array<uint8_t, 32> first{}, second{};
  first.fill(0x11);
  second.fill(0x22);
  EXPECT_EQ(checkHostPin(dir.path(), host, first, false), PinCheck::firstUse);
  EXPECT_EQ(checkHostPin(dir.path(), host, first, false), PinCheck::matches);
  EXPECT_EQ(checkHostPin(dir.path(), HostAddress{"192.168.1.20", 1}, second, false),
            PinCheck::firstUse);  // another port is another host

  EXPECT_EQ(checkHostPin(dir.path(), host, second, false), PinCheck::changed);
  EXPECT_EQ(checkHostPin(dir.path(), host, second, false), PinCheck::changed);  // pin kept
  ASSERT_FALSE(log.messages().empty());
  EXPECT_NE(log.messages().back().find("The certificate of 192.168.1.20:52345 changed"),
            std::string::npos);
  EXPECT_EQ(checkHostPin(dir.path(), host, second, true), PinCheck::changed);  // pairing re-pins
  EXPECT_EQ(checkHostPin(dir.path(), host, second, false), PinCheck::matches);
}

TEST(StateDirectory, FollowsXdgDataHome) {
  EXPECT_EQ(clientStateDirectory(std::filesystem::path("/x")), "/x");
  ::setenv("XDG_DATA_HOME", "/data", 1);
  EXPECT_EQ(clientStateDirectory(std::nullopt), "/data/ferrowin-client");
  ::unsetenv("XDG_DATA_HOME");
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(clientStateDirectory(std::nullopt), "/home/u/.local/share/ferrowin-client");
  ::setenv("HOME", home.c_str(), 1);
}

}  // namespace
}  // namespace ferrowin::client
