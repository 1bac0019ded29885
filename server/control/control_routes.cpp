// The control API's routes. Everything here runs on the main executor.
#include <filesystem>

#include "common/runtime/flow.h"

// GCC 12 takes Asio's coroutine frames, allocated and freed by the frame's own operator new and
// delete, for a mismatch once the routing coroutine awaits another one inlined here.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
#include "common/util/log.h"
#include "server/control/auth_routes.h"
#include "server/control/control_server.h"
#include "server/control/messages.h"
#include "server/control/responses.h"

namespace ferrowin::control {

namespace {

ControlHTTPResponse videoUnavailable() { return errorResponse(503, "video unavailable"); }

ControlHTTPResponse captureError(const CaptureRouteError& error) {
  return error.notFound ? errorResponse(404, "not found") : errorResponse(500, error.description);
}

ControlHTTPResponse libraryError(const library::LibraryError& error) {
  return error.kind == library::LibraryError::Kind::notFound
             ? errorResponse(404, "not found")
             : errorResponse(500, error.description());
}

}  // namespace

void ControlServer::pairingFailed(const std::string& peer, const std::string& reason) {
  auto log = common::serverLog("auth");
  log->warn("Pairing from {} failed: {}", peer, reason);
  // Six digits can be searched over the network: a run of wrong codes (from any address) costs
  // the guesser the code. A single typo leaves it, and the challenge, usable.
  if (reason != "invalid code" || ++wrongCodes_ < kWrongCodesBeforeNewCode) return;
  log->warn("{} wrong pairing codes in a row; the pairing code is replaced", wrongCodes_);
  newPairingCode();
  announcePairingCode();
}

asio::awaitable<ControlHTTPResponse> ControlServer::route(ControlHTTPRequest request) {
  const std::string path(routePath(request.path));
  const std::string& method = request.method;
  const AuthContext auth{*peers_, deps_.verifier.get(), serverId_, deps_.serverBundleVersion,
                         deps_.pairEveryConnection};

  if (method == "POST" && path == "/v1/auth/hello") co_return authHello(auth, request);
  if (method == "POST" && path == "/v1/auth/resume") {
    auto response = authResume(auth, request);
    if (response.status != 200)
      common::serverLog("auth")->warn("Resume from {} failed: {}", request.peer,
                                      errorMessage(response));
    co_return response;
  }
  if (method == "POST" && path == "/v1/auth/pair") {
    auto response = authPair(auth, request, pairingCode.get());
    if (response.status == 200) {
      common::serverLog("auth")->info("Client at {} paired", request.peer);
      newPairingCode();
      announcePairingCode();
    } else {
      pairingFailed(request.peer, errorMessage(response));
    }
    co_return response;
  }

  // Everything below needs an authenticated peer, unknown paths included.
  if (!peers_->isAuthenticated(request.peer)) co_return errorResponse(401, "unauthorized");

  if (method == "GET" && path == "/v1/status") co_return co_await status();
  if (method == "GET" && path == "/v1/settings") co_return settings();
  if (method == "PATCH" && path == "/v1/settings")
    co_return errorResponse(400, "gamepad settings are controlled by the connecting client");
  if (method == "PUT" && path == "/v1/remap-settings") co_return remapSettings(request);
  if (method == "POST" && path == "/v1/session/release") co_return co_await sessionRelease();
  if (method == "GET" && path == "/v1/capture/sources") co_return co_await captureSources();
  if (method == "GET" && path == "/v1/capture/thumbnail")
    co_return co_await captureThumbnail(request);
  if (method == "POST" && path == "/v1/capture/source") co_return co_await captureSelect(request);
  if (path == "/v1/apps" || path.starts_with("/v1/apps/")) co_return co_await appRoute(request);
  co_return errorResponse(404, "not found");
}

std::string ControlServer::gamepadProfile() {
  auto helper = inputHelper_.lock();
  return helper ? helper->activeProfileName() : std::string();
}

asio::awaitable<ControlHTTPResponse> ControlServer::status() {
  FerrowinControlStatus status;
  status.hostName = deps_.hostInfo ? deps_.hostInfo->hostName() : std::string();
  status.controlPort = port;
  status.videoPort = static_cast<uint16_t>(port + 1);
  status.gamepadPort = static_cast<uint16_t>(port + 2);
  auto video = video_.lock();
  status.videoTransport = video ? video->transportModeName() : "udp_arq";
  status.streamingEnabled = video && video->isRunning();
  auto helper = inputHelper_.lock();
  status.gamepadEnabled = helper && helper->isRunning();
  status.gamepadProfile = gamepadProfile();
  std::optional<platform::FrontmostApplication> front;
  if (deps_.hostInfo) {
    // The routing flow keeps this server, and so its host info, alive until it answers.
    front = co_await common::runOn(hostInfoQueue_.executor(), [hostInfo = deps_.hostInfo.get()] {
      return hostInfo->frontmostApplication();
    });
  }
  if (front) {
    status.frontmostBundleId = front->bundleId;
    if (front->executablePath) {
      status.frontmostExecutable =
          std::filesystem::path(*front->executablePath).filename().string();
    } else if (!front->localizedName.empty()) {
      status.frontmostExecutable = front->localizedName;
    }
  }
  status.serverId = serverId_.value();
  co_return jsonResponse(encode(status));
}

ControlHTTPResponse ControlServer::settings() {
  return jsonResponse(encode(FerrowinHostSettings{gamepadProfile()}));
}

ControlHTTPResponse ControlServer::remapSettings(const ControlHTTPRequest& request) {
  auto settings = decodeRemapLookSettings(request.body);
  if (!settings) return errorResponse(400, "invalid json");
  *settings = common::clampedLookTuning(*settings);
  if (auto helper = inputHelper_.lock()) helper->setRemapLook(*settings);
  return jsonResponse(encode(*settings));
}

asio::awaitable<ControlHTTPResponse> ControlServer::sessionRelease() {
  if (auto video = video_.lock()) video->releaseVirtualDisplay();
  if (auto helper = inputHelper_.lock()) co_await helper->releaseGamepad();
  co_return jsonResponse(encode(FerrowinSessionReleaseResponse{true}));
}

asio::awaitable<ControlHTTPResponse> ControlServer::captureSources() {
  auto video = video_.lock();
  if (!video) co_return videoUnavailable();
  auto sources = co_await video->captureSources();
  if (!sources) co_return errorResponse(500, sources.error().description);
  co_return jsonResponse(encode(*sources));
}

asio::awaitable<ControlHTTPResponse> ControlServer::captureThumbnail(
    const ControlHTTPRequest& request) {
  auto video = video_.lock();
  if (!video) co_return videoUnavailable();
  auto id = queryParameter(request.path, "id");
  if (!id) co_return errorResponse(400, "missing id");
  auto jpeg = co_await video->thumbnail(*id);
  if (!jpeg) co_return captureError(jpeg.error());
  co_return ControlHTTPResponse{200, std::move(*jpeg), "image/jpeg"};
}

asio::awaitable<ControlHTTPResponse> ControlServer::captureSelect(
    const ControlHTTPRequest& request) {
  auto video = video_.lock();
  if (!video) co_return videoUnavailable();
  auto selection = decodeCaptureSourceRequest(request.body);
  if (!selection) co_return errorResponse(400, "invalid json");
  auto selected = co_await video->selectCaptureSource(selection->id);
  if (!selected)
    co_return selected.error().notFound ? errorResponse(404, "not found")
                                        : errorResponse(400, "invalid json");
  co_return jsonResponse(encode(*selected));
}

asio::awaitable<ControlHTTPResponse> ControlServer::appRoute(const ControlHTTPRequest& request) {
  const std::string path(routePath(request.path));
  const std::string& method = request.method;
  if (!deps_.applications) co_return errorResponse(404, "not found");
  if (method == "GET" && path == "/v1/apps") co_return co_await apps(request);
  if (method == "GET" && path == "/v1/apps/icon") co_return co_await appIcon(request);
  if (method == "POST" &&
      (path == "/v1/apps/launch" || path == "/v1/apps/hide" || path == "/v1/apps/recent/remove"))
    co_return co_await appAction(request, path);
  co_return errorResponse(404, "not found");
}

asio::awaitable<ControlHTTPResponse> ControlServer::apps(const ControlHTTPRequest& request) {
  auto library = deps_.applications;
  const bool refresh = queryParameter(request.path, "refresh") == std::optional<std::string>("1");
  auto answer = co_await library->apps(refresh);
  if (!answer) co_return libraryError(answer.error());
  co_return jsonResponse(encode(*answer));
}

asio::awaitable<ControlHTTPResponse> ControlServer::appIcon(const ControlHTTPRequest& request) {
  auto library = deps_.applications;
  auto id = queryParameter(request.path, "id");
  if (!id || id->empty()) co_return errorResponse(400, "missing id");
  auto png = co_await library->icon(*id);
  if (!png) co_return libraryError(png.error());
  co_return ControlHTTPResponse{200, std::move(*png), "image/png"};
}

// Launch, hide and remove-from-recent: the same body, different catalog calls.
asio::awaitable<ControlHTTPResponse> ControlServer::appAction(const ControlHTTPRequest& request,
                                                              const std::string& path) {
  auto library = deps_.applications;
  auto body = decodeAppLaunchRequest(request.body);
  if (!body) co_return errorResponse(400, "invalid json");
  if (path == "/v1/apps/launch") {
    auto launched = co_await library->launch(body->id);
    if (!launched) co_return libraryError(launched.error());
    co_return jsonResponse(encode(FerrowinAppLaunchResponse{*launched}));
  }
  library::ApplicationLibrary::Apps answer;
  if (path == "/v1/apps/hide") {
    answer = co_await library->hide(body->id);
  } else {
    answer = co_await library->removeRecent(body->id);
  }
  if (!answer) co_return libraryError(answer.error());
  co_return jsonResponse(encode(*answer));
}

}  // namespace ferrowin::control
