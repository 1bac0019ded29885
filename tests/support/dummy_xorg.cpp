#include "tests/support/dummy_xorg.h"

#include <filesystem>
#include <fstream>

namespace ferrowin::testing {
namespace {

constexpr const char* kDummyDriver = "/usr/lib/xorg/modules/drivers/dummy_drv.so";

constexpr const char* kDummyConfiguration = R"(Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "AutoEnableDevices" "false"
  Option "DontVTSwitch" "true"
EndSection
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 65536
EndSection
Section "Monitor"
  Identifier "monitor"
  HorizSync 5.0-1000.0
  VertRefresh 5.0-200.0
EndSection
Section "Screen"
  Identifier "screen"
  Device "dummy"
  Monitor "monitor"
  DefaultDepth 24
  SubSection "Display"
    Depth 24
    Modes "1280x720"
    Virtual 8192 2048
  EndSubSection
EndSection
)";

}  // namespace

DummyXorg::DummyXorg() {
  std::filesystem::create_directory(dir_ / "xorg.conf.d");
  std::ofstream(dir_ / "xorg.conf") << kDummyConfiguration;
  if (!std::filesystem::exists(kDummyDriver)) {
    server_ = std::make_unique<XServer>("/nonexistent/Xorg", std::vector<std::string>{});
    return;
  }
  server_ = std::make_unique<XServer>(
      "Xorg", std::vector<std::string>{"-noreset", "-nolisten", "tcp", "-config",
                                       (dir_ / "xorg.conf").string(), "-configdir",
                                       (dir_ / "xorg.conf.d").string(), "-logfile",
                                       (dir_ / "Xorg.log").string(), "-novtswitch", "-sharevts"});
}

std::string DummyXorg::error() const {
  if (!server_->name().empty()) return {};
  if (!std::filesystem::exists(kDummyDriver)) {
    return "Xorg's dummy driver is not installed (scripts/bootstrap installs "
           "xserver-xorg-video-dummy)";
  }
  std::string text = server_->error();
  std::ifstream log(dir_ / "Xorg.log");
  std::string line, errors;
  while (std::getline(log, line)) {
    if (line.find("(EE)") != std::string::npos) errors += "\n  " + line;
  }
  return text + errors;
}

}  // namespace ferrowin::testing
