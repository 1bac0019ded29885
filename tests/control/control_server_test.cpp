// The control server over real TLS on loopback, its lifecycle and status texts, and the routes
// with stand-ins for the video server, the input helper manager and App Attest.
#include "server/control/control_server.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <asio/ip/tcp.hpp>

#include "common/util/base64.h"
#include "common/util/json.h"
#include "platform/fake/fake_bonjour.h"
#include "platform/fake/fake_host_info.h"
#include "server/control/auth_routes.h"
#include "tests/control/control_test_support.h"
#include "tests/support/spawn_logged.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::control {
namespace {

class FakeVideo final : public ControlVideoAccess {
 public:
  std::string transportModeName() const override { return "tcp"; }
  bool isRunning() const override { return true; }
  void releaseVirtualDisplay() override { ++releases; }
  asio::awaitable<Expected<FerrowinCaptureSourcesResponse, CaptureRouteError>> captureSources()
      override {
    co_return FerrowinCaptureSourcesResponse{"display:1", {}};
  }
  asio::awaitable<Expected<std::vector<uint8_t>, CaptureRouteError>> thumbnail(
      std::string id) override {
    thumbnailIds.push_back(id);
    if (id == "gone") co_return make_unexpected(CaptureRouteError{true, ""});
    co_return std::vector<uint8_t>{0xFF, 0xD8};
  }
  asio::awaitable<Expected<FerrowinCaptureSourceResponse, CaptureRouteError>> selectCaptureSource(
      std::string id) override {
    if (id == "gone") co_return make_unexpected(CaptureRouteError{true, ""});
    if (id == "bad") co_return make_unexpected(CaptureRouteError{false, "capture failed"});
    co_return FerrowinCaptureSourceResponse{id, true};
  }
  int releases = 0;
  std::vector<std::string> thumbnailIds;
};

class FakeInputHelper final : public ControlInputHelperAccess {
 public:
  bool isRunning() const override { return true; }
  std::string activeProfileName() const override { return "xbox"; }
  void setRemapLook(const FerrowinRemapLookSettings& settings) override { remap = settings; }
  asio::awaitable<void> releaseGamepad() override {
    ++gamepadReleases;
    co_return;
  }
  std::optional<FerrowinRemapLookSettings> remap;
  int gamepadReleases = 0;
};

class ControlServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ControlListenerLimits limits;
    limits.handshakeTimeout = 1.0;
    limits.requestTimeout = 1.0;
    limits.maxConnections = 4;
    limits.maxConnectionsPerPeer = 3;
    server = ControlServer::create({.main = &main.executor(),
                                    .dataDirectory = dir.path(),
                                    .verifier = verifier,
                                    .bonjour = bonjour,
                                    .hostInfo = hostInfo,
                                    .pairEveryConnection = false,
                                    .limits = limits});
    server->port = 0;
  }
  void TearDown() override {
    main.run([&] { server.reset(); });
  }

  uint16_t startListening() {
    main.run([&] { server->start(); });
    EXPECT_TRUE(testing::waitUntil(
        5, [&] { return server->statusMessage.get().starts_with("Listening"); }));
    return main.run([&] { return server->listeningPort(); });
  }

  ControlHTTPResponse call(const std::string& method, const std::string& path,
                           const std::string& body = "", const std::string& peer = "10.0.0.7") {
    return main.route(server, makeRequest(method, path, body, peer));
  }

  testing::TempDir dir;
  std::shared_ptr<FakeProofVerifier> verifier = std::make_shared<FakeProofVerifier>();
  MainThread main;
  std::shared_ptr<platform::FakeBonjour> bonjour = std::make_shared<platform::FakeBonjour>();
  std::shared_ptr<platform::FakeHostInfo> hostInfo = std::make_shared<platform::FakeHostInfo>();
  std::shared_ptr<ControlServer> server;
};

// Whether the host closed `socket` within `seconds` (end of stream or reset).
bool closedByHost(asio::ip::tcp::socket& socket, double seconds) {
  pollfd watched{socket.native_handle(), POLLIN, 0};
  if (::poll(&watched, 1, static_cast<int>(seconds * 1000)) <= 0) return false;
  std::array<char, 16> buffer;
  std::error_code error;
  socket.read_some(asio::buffer(buffer), error);
  return error == asio::error::eof || error == asio::error::connection_reset;
}

TEST_F(ControlServerTest, AFullConnectionTableMakesRoomForNewcomersAndTLSRequestsAreGated) {
  // Four connections at most, three from one address.
  const uint16_t port = startListening();
  asio::io_context io;
  std::vector<asio::ip::tcp::socket> held;
  auto open = [&](const std::string& from) {
    held.emplace_back(io);
    auto& socket = held.back();
    socket.open(asio::ip::tcp::v4());
    socket.bind({asio::ip::make_address(from), 0});
    socket.connect({asio::ip::make_address("127.0.0.1"), port});
    // Accepted in this order: "oldest" below means first opened.
    const size_t expected = std::min<size_t>(held.size(), 4);
    EXPECT_TRUE(testing::waitUntil(
        5, [&] { return main.run([&] { return server->connectionCount(); }) >= expected; }));
  };
  struct Case {
    std::vector<std::string> before;  // held, oldest first
    bool trustFirst;                  // the address of before[0] is authenticated
    std::string newcomer;
    int evicted;  // index into `before`
  };
  const std::vector<Case> cases = {
      // One address at its share gives up its own oldest.
      {{"127.0.0.2", "127.0.0.3", "127.0.0.3", "127.0.0.3"}, false, "127.0.0.3", 1},
      // Full table: the heaviest address loses its oldest, the light one keeps its connection.
      {{"127.0.0.2", "127.0.0.3", "127.0.0.3", "127.0.0.4"}, false, "127.0.0.5", 1},
      // An authenticated address gives up last.
      {{"127.0.0.2", "127.0.0.2", "127.0.0.3", "127.0.0.4"}, true, "127.0.0.5", 2},
      // An unauthenticated connection goes before those of a heavier authenticated address.
      {{"127.0.0.2", "127.0.0.2", "127.0.0.2", "127.0.0.4"}, true, "127.0.0.5", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases.data()));
    held.clear();
    ASSERT_TRUE(testing::waitUntil(
        5, [&] { return main.run([&] { return server->connectionCount(); }) == 0; }));
    if (c.trustFirst) server->peers().authorize("key", c.before[0]);
    for (const auto& from : c.before) open(from);
    open(c.newcomer);
    for (size_t i = 0; i < held.size(); ++i) {
      const bool closed = closedByHost(held[i], static_cast<int>(i) == c.evicted ? 3.0 : 0.2);
      EXPECT_EQ(closed, static_cast<int>(i) == c.evicted) << "connection " << i;
    }
    server->peers().forgetAddress(c.before[0]);
  }
  held.clear();
  // The rest time out as before.
  EXPECT_TRUE(testing::waitUntil(
      5, [&] { return main.run([&] { return server->connectionCount(); }) == 0; }));

  // The host answers over TLS and gates every path but authentication.
  EXPECT_EQ(tlsExchange(port, "GET /no/such/path HTTP/1.1\r\n\r\n"),
            "HTTP/1.1 401 Unauthorized\r\nContent-Type: application/json\r\nContent-Length: 24\r\n"
            "Connection: close\r\n\r\n{\"error\":\"unauthorized\"}");
  // The dual-stack listener sees IPv4 clients as IPv4-mapped IPv6 and keys them as IPv4 text.
  server->peers().authorize("key", "127.0.0.1");
  const auto status = tlsExchange(port, "get /v1/status?verbose=1 HTTP/1.1\r\n\r\n");
  ASSERT_TRUE(status.starts_with("HTTP/1.1 200 OK\r\n")) << status;
  EXPECT_EQ((*common::parseJson(status.substr(status.find("\r\n\r\n") + 4)))["controlPort"], 0);
  EXPECT_TRUE(
      tlsExchange(port, "GET /nowhere HTTP/1.1\r\n\r\n").starts_with("HTTP/1.1 404 Not Found\r\n"));
  // Silent after the handshake: closed at the request deadline, unanswered.
  EXPECT_EQ(tlsExchange(port, ""), "");
  EXPECT_EQ(server->statusMessage.get(), "Listening on port " + std::to_string(port) +
                                             " (Bonjour off)");  // until the daemon confirms
  main.run([&] { server->stop(); });
  EXPECT_EQ(server->statusMessage.get(), "Idle");
}

TEST_F(ControlServerTest, RoutesBeforeAndAfterTheCollaboratorsAttach) {
  server->peers().authorize("key", "10.0.0.7");
  hostInfo->name = "gamebox";
  auto status = *common::parseJson(bodyText(call("GET", "/v1/status")));
  EXPECT_EQ(status["hostName"], "gamebox");
  EXPECT_EQ(status["videoTransport"], "udp_arq");
  EXPECT_EQ(status["streamingEnabled"], false);
  EXPECT_EQ(status["gamepadEnabled"], false);
  EXPECT_FALSE(status.contains("frontmostBundleId"));
  EXPECT_EQ(bodyText(call("GET", "/v1/settings")), R"({"gamepadProfile":""})");
  const std::string remapRequest =
      R"({"sensitivity":10,"acceleration":2,"deadzone":-1,"verticalScale":0.1,)"
      R"("stickCurve":"soft","rampCurve":"cubic","unknown":true})";
  EXPECT_EQ(call("PUT", "/v1/remap-settings", remapRequest).status, 200);
  EXPECT_EQ(bodyText(call("POST", "/v1/session/release")), R"({"ok":true})");
  for (auto [method, path] :
       {std::pair{"GET", "/v1/capture/sources"}, std::pair{"GET", "/v1/capture/thumbnail?id=x"},
        std::pair{"POST", "/v1/capture/source"}}) {
    auto unavailable = call(method, path);
    EXPECT_EQ(unavailable.status, 503) << path;
    EXPECT_EQ(bodyText(unavailable), R"({"error":"video unavailable"})");
  }

  auto video = std::make_shared<FakeVideo>();
  auto helper = std::make_shared<FakeInputHelper>();
  server->setVideo(video);
  server->setInputHelper(helper);
  // Status follows the collaborators and the front application.
  struct Case {
    platform::FrontmostApplication front;
    std::optional<std::string> bundleId, executable;
  };
  const Case cases[] = {
      {{"Steam", "/usr/lib/steam/steam", "steam"}, "Steam", "steam"},  // the file name
      {{std::nullopt, std::nullopt, "Game"}, std::nullopt, "Game"},    // else the name
      {{"id", std::nullopt, ""}, "id", std::nullopt},
  };
  for (const auto& c : cases) {
    hostInfo->frontmost = c.front;
    status = *common::parseJson(bodyText(call("GET", "/v1/status")));
    EXPECT_EQ(status["videoTransport"], "tcp");
    EXPECT_EQ(status["streamingEnabled"], true);
    EXPECT_EQ(status["gamepadProfile"], "xbox");
    for (const auto& [key, value] : {std::pair{"frontmostBundleId", c.bundleId},
                                     std::pair{"frontmostExecutable", c.executable}}) {
      EXPECT_EQ(status.contains(key), value.has_value()) << key << " of " << c.front.localizedName;
      if (value) {
        EXPECT_EQ(status[key], *value);
      }
    }
  }
  EXPECT_EQ(bodyText(call("GET", "/v1/settings")), R"({"gamepadProfile":"xbox"})");
  EXPECT_EQ(bodyText(call("PATCH", "/v1/settings")),
            R"({"error":"gamepad settings are controlled by the connecting client"})");

  // Remap settings are clamped and handed to the helper.
  EXPECT_EQ(bodyText(call("PUT", "/v1/remap-settings", remapRequest)),
            R"({"acceleration":1.0,"deadzone":0.0,"rampCurve":"cubic","sensitivity":4.0,)"
            R"("stickCurve":"soft","verticalScale":0.25})");
  ASSERT_TRUE(helper->remap);
  EXPECT_EQ(helper->remap->sensitivity, 4.0);
  EXPECT_EQ(bodyText(call("PUT", "/v1/remap-settings", "{}")), R"({"error":"invalid json"})");
  // Curve names are case-sensitive.
  EXPECT_EQ(bodyText(call("PUT", "/v1/remap-settings",
                          R"({"sensitivity":2,"acceleration":0.5,"deadzone":0.1,"verticalScale":1,)"
                          R"("stickCurve":"Soft","rampCurve":"linear"})")),
            R"({"error":"invalid json"})");

  EXPECT_EQ(bodyText(call("POST", "/v1/session/release")), R"({"ok":true})");
  EXPECT_EQ(video->releases, 1);
  EXPECT_EQ(helper->gamepadReleases, 1);

  EXPECT_EQ(bodyText(call("GET", "/v1/capture/sources")),
            R"({"selectedId":"display:1","sources":[]})");
  EXPECT_EQ(call("GET", "/v1/capture/thumbnail?id=").contentType, "image/jpeg");
  EXPECT_EQ(video->thumbnailIds, std::vector<std::string>{""});  // empty ids pass through
  EXPECT_EQ(bodyText(call("GET", "/v1/capture/thumbnail")), R"({"error":"missing id"})");
  EXPECT_EQ(call("GET", "/v1/capture/thumbnail?id=gone").status, 404);
  EXPECT_EQ(bodyText(call("POST", "/v1/capture/source", R"({"id":"window:4"})")),
            R"({"applied":true,"selectedId":"window:4"})");
  EXPECT_EQ(call("POST", "/v1/capture/source", R"({"id":"gone"})").status, 404);
  EXPECT_EQ(bodyText(call("POST", "/v1/capture/source", R"({"id":"bad"})")),
            R"({"error":"invalid json"})");
  EXPECT_EQ(call("POST", "/v1/capture/source", "nope").status, 400);

  main.run([&] { video.reset(); });
  EXPECT_EQ(call("GET", "/v1/capture/sources").status, 503);  // collaborators are held weakly
}

TEST_F(ControlServerTest, ResumeWithAssertionsOfAKnownKeyAndTheProofModes) {
  startListening();
  const std::string hello = R"({"clientBundleVersion":"1","keyId":" key-1\n"})";
  call("POST", "/v1/auth/hello", hello);
  ASSERT_EQ(
      call("POST", "/v1/auth/pair",
           R"({"code":")" + server->pairingCode.get() + R"(","keyId":"key-1","attestation":")" +
               common::base64Encode("attest-ok") + "\"}")
          .status,
      200);
  server->peers().forgetAddress("10.0.0.7");

  auto known = *common::parseJson(bodyText(call("POST", "/v1/auth/hello", hello)));
  EXPECT_EQ(known["paired"], true);
  EXPECT_EQ(known["pinRequired"], false);
  const std::string code = server->pairingCode.get();
  const auto resume = [&](int counter) {
    return call("POST", "/v1/auth/resume",
                R"({"keyId":"key-1","assertion":")" +
                    common::base64Encode("assert:" + std::to_string(counter)) + "\"}");
  };
  ASSERT_EQ(resume(1).status, 200);
  EXPECT_TRUE(server->peers().isAuthenticated("10.0.0.7"));
  EXPECT_EQ(server->peers().credential("key-1")->counter, 1u);
  EXPECT_EQ(server->pairingCode.get(), code);

  call("POST", "/v1/auth/hello", hello);
  auto stale = resume(1);  // the counter must grow
  EXPECT_EQ(stale.status, 401);
  EXPECT_EQ(bodyText(stale), R"({"error":"assertion rejected"})");
  EXPECT_EQ(bodyText(resume(2)), R"({"error":"challenge expired"})");

  // Which proof each combination of attestation and assertion gets.
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
