#include "server/control/messages.h"

#include <gtest/gtest.h>

namespace ferrowin::control {
namespace {

std::vector<uint8_t> bytes(std::string_view text) { return {text.begin(), text.end()}; }

TEST(ControlMessages, StatusKeysInSortedOrderAndOptionalsOmitted) {
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
  status.frontmostBundleId = "steam";
  status.frontmostExecutable = "steam";
  EXPECT_EQ(encode(status).substr(0, 79),
            R"({"controlPort":52345,"frontmostBundleId":"steam","frontmostExecutable":"steam",)");
}

TEST(ControlMessages, SmallResponses) {
  EXPECT_EQ(encode(FerrowinAPIError{"a \"quoted\"\n"}), R"({"error":"a \"quoted\"\n"})");
  EXPECT_EQ(encode(FerrowinPairResponse{true}), R"({"ok":true})");
  EXPECT_EQ(encode(FerrowinHostSettings{"xbox"}), R"({"gamepadProfile":"xbox"})");
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

TEST(ControlMessages, HelloRequest) {
  auto withoutKey = decodeAuthHelloRequest(bytes(R"({"clientBundleVersion":"7","extra":[1]})"));
  ASSERT_TRUE(withoutKey);
  EXPECT_FALSE(withoutKey->keyId);
  EXPECT_FALSE(decodeAuthHelloRequest(bytes(R"({"keyId":"k"})")));
  EXPECT_FALSE(decodeAuthHelloRequest(bytes("")));
  EXPECT_FALSE(decodeAuthHelloRequest(bytes("[]")));
  EXPECT_FALSE(decodeAuthHelloRequest(bytes(R"({"clientBundleVersion":7})")));
}

TEST(ControlMessages, PairAndResumeRequests) {
  auto pair = decodePairRequest(bytes(R"({"code":"123456","keyId":"k","attestation":null})"));
  ASSERT_TRUE(pair);
  EXPECT_FALSE(pair->attestation);
  EXPECT_FALSE(pair->assertion);
  EXPECT_FALSE(decodePairRequest(bytes(R"({"code":123456,"keyId":"k"})")));
  EXPECT_FALSE(decodePairRequest(bytes(R"({"code":"1"})")));
  EXPECT_TRUE(decodeAuthResumeRequest(bytes(R"({"keyId":"k","assertion":""})")));
  EXPECT_FALSE(decodeAuthResumeRequest(bytes(R"({"keyId":"k"})")));
}

TEST(ControlMessages, RemapSettings) {
  auto settings = decodeRemapLookSettings(
      bytes(R"({"sensitivity":2,"acceleration":0.5,"deadzone":0.1,"verticalScale":1,)"
            R"("stickCurve":"extraWide","rampCurve":"smoothstep"})"));
  ASSERT_TRUE(settings);
  EXPECT_EQ(settings->sensitivity, 2.0);
  EXPECT_EQ(settings->stickCurve, common::LookStickCurve::extraWide);
  EXPECT_EQ(settings->rampCurve, common::LookRampCurve::smoothstep);
  EXPECT_EQ(encode(*settings),
            R"({"acceleration":0.5,"deadzone":0.1,"rampCurve":"smoothstep",)"
            R"("sensitivity":2.0,"stickCurve":"extraWide","verticalScale":1.0})");
  // Enumeration values are case-sensitive.
  EXPECT_FALSE(decodeRemapLookSettings(
      bytes(R"({"sensitivity":2,"acceleration":0.5,"deadzone":0.1,"verticalScale":1,)"
            R"("stickCurve":"Soft","rampCurve":"linear"})")));
}

}  // namespace
}  // namespace ferrowin::control
