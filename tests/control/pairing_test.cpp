// The auth endpoints' flows, driven through the router with an App Attest stand-in and a manual
// clock.
#include <gtest/gtest.h>

#include "common/util/base64.h"
#include "common/util/json.h"
#include "platform/fake/fake_bonjour.h"
#include "platform/fake/fake_host_info.h"
#include "server/control/auth_routes.h"
#include "tests/control/control_test_support.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::control {
namespace {

constexpr const char* kPeer = "192.168.1.20";

class PairingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server = ControlServer::create({.main = &main.executor(),
                                    .dataDirectory = dir.path(),
                                    .verifier = verifier,
                                    .bonjour = std::make_shared<platform::FakeBonjour>(),
                                    .hostInfo = std::make_shared<platform::FakeHostInfo>(),
                                    .clock = &clock,
                                    .pairEveryConnection = false});
    server->port = 0;
    main.run([&] { server->start(); });
  }

  ControlHTTPResponse post(const std::string& path, const std::string& body,
                           const std::string& peer = kPeer) {
    return main.route(server, makeRequest("POST", path, body, peer));
  }

  // A hello's challenge nonce.
  std::vector<uint8_t> hello(const std::string& keyId = "", const std::string& peer = kPeer) {
    std::string body = R"({"clientBundleVersion":"1")";
    if (!keyId.empty()) body += R"(,"keyId":")" + keyId + "\"";
    auto response = post("/v1/auth/hello", body + "}", peer);
    EXPECT_EQ(response.status, 200) << bodyText(response);
    auto json = *common::parseJson(bodyText(response));
    return *common::base64Decode(json["challenge"].get<std::string>());
  }

  ControlHTTPResponse pair(const std::string& keyId, const std::string& proof,
                           std::optional<std::string> code = std::nullopt,
                           const std::string& peer = kPeer) {
    const std::string attestation = common::base64Encode(proof);
    return post("/v1/auth/pair",
                R"({"code":")" + code.value_or(server->pairingCode.get()) + R"(","keyId":")" +
                    keyId + R"(","attestation":")" + attestation + "\"}",
                peer);
  }

  ControlHTTPResponse resume(const std::string& keyId, uint32_t counter,
                             const std::string& peer = kPeer) {
    return post("/v1/auth/resume",
                R"({"keyId":")" + keyId + R"(","assertion":")" +
                    common::base64Encode("assert:" + std::to_string(counter)) + "\"}",
                peer);
  }

  testing::TempDir dir;
  common::ManualClock clock;
  std::shared_ptr<FakeProofVerifier> verifier = std::make_shared<FakeProofVerifier>();
  MainThread main;
  std::shared_ptr<ControlServer> server;
};

TEST_F(PairingTest, EveryHelloReplacesThePendingChallenge) {
  EXPECT_NE(hello(), hello());
  EXPECT_EQ(post("/v1/auth/hello", R"({"clientBundleVersion":"1"})", "").status, 400);
}

TEST_F(PairingTest, ResumeWithAssertionsOfAKnownKey) {
  hello();
  ASSERT_EQ(pair("key-1", "attest-ok").status, 200);
  server->peers().forgetAddress(kPeer);

  auto known = *common::parseJson(
      bodyText(post("/v1/auth/hello", R"({"clientBundleVersion":"1","keyId":" key-1\n"})")));
  EXPECT_EQ(known["paired"], true);
  EXPECT_EQ(known["pinRequired"], false);
  const std::string code = server->pairingCode.get();
  ASSERT_EQ(resume("key-1", 1).status, 200);
  EXPECT_TRUE(server->peers().isAuthenticated(kPeer));
  EXPECT_EQ(server->peers().credential("key-1")->counter, 1u);
  EXPECT_EQ(server->pairingCode.get(), code);

  hello();
  auto stale = resume("key-1", 1);  // the counter must grow
  EXPECT_EQ(stale.status, 401);
  EXPECT_EQ(bodyText(stale), R"({"error":"assertion rejected"})");
  EXPECT_EQ(bodyText(resume("key-1", 2)), R"({"error":"challenge expired"})");
}

TEST_F(PairingTest, ProofModes) {
  const AuthContext context{server->peers(), verifier.get(), server->serverIdentifier(), "", false};
  const std::vector<uint8_t> nonce(32, 1);
  const auto ok = common::base64Encode("attest-ok");
  const auto status = [&](std::optional<std::string> attestation,
                          std::optional<std::string> assertion, const std::string& key = "k") {
    auto failure = verifyClientProof(context, key, attestation, assertion, nonce);
    return failure ? failure->status : 200;
  };
  EXPECT_EQ(status(std::nullopt, std::nullopt), 400);
  EXPECT_EQ(status(std::nullopt, ""), 400);
  EXPECT_EQ(status("", std::nullopt), 400);
  EXPECT_EQ(status("", ""), 400);
  EXPECT_EQ(status(ok, common::base64Encode("assert:1")), 400);
  EXPECT_EQ(status("not base64", std::nullopt), 400);
  EXPECT_EQ(status(std::nullopt, "not base64"), 400);
  EXPECT_EQ(status(common::base64Encode("forged"), std::nullopt), 401);
  // A non-empty attestation beside an empty assertion runs the assertion mode.
  EXPECT_EQ(status(ok, ""), 409);
  EXPECT_EQ(status("", common::base64Encode("assert:1")), 409);
  // An assertion that is not Base64 falls back to the (here empty) attestation sent with it.
  EXPECT_EQ(status("", "not base64"), 401);
  EXPECT_FALSE(server->peers().credential("k"));
  EXPECT_EQ(status(ok, std::nullopt), 200);
  EXPECT_EQ(status("", common::base64Encode("assert:1")), 200);
  ASSERT_TRUE(server->peers().credential("k"));
  EXPECT_EQ(server->peers().credential("k")->counter, 1u);

  const AuthContext noVerifier{server->peers(), nullptr, server->serverIdentifier(), "", false};
  EXPECT_EQ(verifyClientProof(noVerifier, "x", ok, std::nullopt, nonce)->status, 401);
}

}  // namespace
}  // namespace ferrowin::control
