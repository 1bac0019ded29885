#include "server/control/messages.h"

#include <gtest/gtest.h>

namespace ferrowin::control {
namespace {

TEST(ControlMessages, KeysInSortedOrderAndOptionalsOmitted) {
  FerrowinControlStatus status;
  status.hostName = "box";
  status.controlPort = 52345;
  status.videoPort = 52346;
  status.gamepadPort = 52347;
  status.videoTransport = "udp_arq";
  status.serverId = "ID";
  EXPECT_EQ(encode(status),
            R"({"controlPort":52345,"gamepadEnabled":false,"gamepadPort":52347,)"
            R"("gamepadProfile":"","hostName":"box","serverId":"ID","streamingEnabled":false,)"
            R"("version":"1","videoPort":52346,"videoTransport":"udp_arq"})");

  EXPECT_EQ(encode(FerrowinAuthHelloResponse{"Y2g=", true, false, "0.1.0", "S"}),
            R"({"challenge":"Y2g=","paired":true,"pinRequired":false,)"
            R"("serverBundleVersion":"0.1.0","serverId":"S"})");
  FerrowinCaptureSourcesResponse sources{"display:1",
                                         {{"display:1", FerrowinCaptureSourceKind::display, "Main",
                                           std::nullopt, 1280, 720, true, std::nullopt}}};
  EXPECT_EQ(encode(sources),
            R"({"selectedId":"display:1","sources":[{"height":720,"id":"display:1",)"
            R"("isPrimary":true,"kind":"display","title":"Main","width":1280}]})");
}

}  // namespace
}  // namespace ferrowin::control
