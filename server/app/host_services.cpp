#include "server/app/host_services.h"

#include <algorithm>
#include <asio/post.hpp>
#include <cstdlib>

#include "common/util/log.h"
#include "platform/applications.h"
#include "platform/linux/portal_capture.h"
#include "platform/linux/pulse_audio_capture.h"
#include "platform/linux/x11_capture.h"
#include "platform/linux/x11_virtual_display.h"
#include "platform/synthetic/synthetic_audio.h"
#include "platform/synthetic/synthetic_capture.h"
#include "server/app/video_access.h"
#include "server/inputhelper/control_access.h"

namespace ferrowin::app {

std::string processEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

CaptureChoice chooseCapture(const std::optional<std::string>& option,
                            const EnvironmentLookup& environment) {
  if (option && *option != "auto") return {*option, "--capture " + *option, false};
  if (const std::string wayland = environment("WAYLAND_DISPLAY"); !wayland.empty()) {
    return {"portal", "a Wayland session: WAYLAND_DISPLAY " + wayland, true};
  }
  if (environment("XDG_SESSION_TYPE") == "wayland") {
    return {"portal", "a Wayland session: XDG_SESSION_TYPE wayland", true};
  }
  if (const std::string display = environment("DISPLAY"); !display.empty()) {
    return {"x11", "DISPLAY " + display, true};
  }
  return {"synthetic", "neither WAYLAND_DISPLAY nor DISPLAY is set", true};
}

namespace {

// The desktop portal's grant, asked without a dialog when the saved token still holds.
Expected<CaptureSetup, std::string> openPortalCapture(common::SettingsStore& settings,
                                                      const EnvironmentLookup& environment) {
  const bool restoring = settings.stringValue(kPortalRestoreTokenKey).has_value();
  common::serverLog("app")->info(
      "Asking the desktop portal for screen capture{}",
      restoring ? " (restoring the earlier grant)" : "; the desktop may ask for consent");
  auto portal = std::make_shared<platform::PortalCapture>(
      platform::PortalCapture::Options{.busAddress = environment("DBUS_SESSION_BUS_ADDRESS"),
                                       .settings = &settings,
                                       .tokenKey = kPortalRestoreTokenKey});
  auto monitors = portal->ask();
  // A refusal keeps the portal: the Screen Recording row shows it, and its Enable asks again.
  // Another backend would stream the session's empty X root window as if it were the desktop.
  if (!monitors && monitors.error().code == platform::ScreenCastError::Code::denied) {
    return CaptureSetup{portal->backend(), "portal",
                        "portal (not granted: " + monitors.error().description() + ")", portal};
  }
  if (!monitors) return tl::unexpected(monitors.error().description());
  return CaptureSetup{portal->backend(), "portal",
                      "portal (" + std::to_string(*monitors) + " monitor" +
                          (*monitors == 1 ? "" : "s") + " through PipeWire)",
                      portal};
}

Expected<CaptureSetup, std::string> openCapture(const std::string& kind,
                                                common::SettingsStore& settings,
                                                const EnvironmentLookup& environment) {
  if (kind == "portal") return openPortalCapture(settings, environment);
  if (kind == "x11") {
    auto x11 = platform::makeX11CaptureBackend("");
    if (!x11) return tl::unexpected(x11.error().description());
    return CaptureSetup{std::move(*x11), "x11", "x11"};
  }
  return CaptureSetup{std::make_shared<platform::SyntheticCaptureBackend>(), "synthetic",
                      "synthetic test pattern"};
}

}  // namespace

Expected<CaptureSetup, std::string> makeCaptureBackend(const CaptureChoice& choice,
                                                       common::SettingsStore& settings,
                                                       const EnvironmentLookup& environment) {
  std::string kind = choice.kind;
  std::string reason = choice.reason;
  for (;;) {
    auto setup = openCapture(kind, settings, environment);
    if (setup) {
      setup->description += " (" + reason + ")";
      return setup;
    }
    if (!choice.automatic) return tl::unexpected("--capture " + kind + ": " + setup.error());
    const std::string next =
        kind == "portal" && !environment("DISPLAY").empty() ? "x11" : "synthetic";
    common::serverLog("app")->warn("{} capture unavailable ({}); trying {}", kind, setup.error(),
                                   next);
    reason = kind + " capture unavailable: " + setup.error();
    kind = next;
  }
}

std::shared_ptr<platform::AudioCaptureBackend> makeAudioBackend(
    const std::optional<std::string>& choice, bool syntheticCapture) {
  const bool synthetic = choice ? *choice == "synthetic" : syntheticCapture;
  if (synthetic) return std::make_shared<platform::SyntheticAudioBackend>();
  return std::make_shared<platform::PulseAudioBackend>();
}

std::shared_ptr<platform::VirtualDisplayBackend> makeVirtualDisplayBackend(
    const std::shared_ptr<platform::CaptureBackend>& capture, const std::string& kind) {
  if (kind == "portal") {
    return platform::unavailableVirtualDisplays(
        capture, "RandR virtual outputs are missing: the host captures through the desktop "
                 "portal, not an X display.");
  }
  if (dynamic_cast<platform::SyntheticCaptureBackend*>(capture.get())) {
    return platform::unavailableVirtualDisplays(
        capture, "RandR virtual outputs are missing: the host captures the test pattern, not an X "
                 "display.");
  }
  if (auto randr = platform::makeX11VirtualDisplayBackend("")) return randr;
  return platform::unavailableVirtualDisplays(
      capture, "RandR virtual outputs are missing: the X display cannot be reached.");
}

std::string videoTransportFromSetting(const std::optional<std::string>& value) {
  if (value == "tcp" || value == "udp_fec") return *value;
  return "udp_arq";
}

namespace {

std::shared_ptr<inputhelper::InputHelperProcess> makeInputHelper(
    const HostServices::Dependencies& deps) {
  inputhelper::InputHelperProcess::Dependencies helper{
      .main = deps.main->context(), .timers = deps.main->timers(), .hostInfo = deps.hostInfo};
  if (deps.inputHelperPath) {
    helper.helperPath = deps.inputHelperPath;
    helper.staleHelperNames = {deps.inputHelperPath->filename().string()};
  }
  return inputhelper::InputHelperProcess::create(std::move(helper));
}

// The catalog's folder is "Ferrowin" in the data directory, beside the host's own folder.
std::shared_ptr<library::ApplicationLibrary> makeApplications(
    const HostServices::Dependencies& deps) {
  return library::ApplicationLibrary::create(
      {.main = &deps.main->context(),
       .timers = &deps.main->timers(),
       .directory = deps.dataDirectory.parent_path() / "Ferrowin",
       .platform = platform::makeApplicationPlatform()});
}

// The transports await this before the streamer starts.
asio::awaitable<void> prepareVirtualDisplay(std::weak_ptr<capture::VirtualDisplayService> weak,
                                            capture::StreamConfig config) {
  if (auto service = weak.lock()) co_await service->prepare(config);
}

}  // namespace

std::shared_ptr<HostServices> HostServices::create(Dependencies dependencies) {
  if (!dependencies.captureBackend) {
    dependencies.captureBackend = std::make_shared<platform::SyntheticCaptureBackend>();
  }
  if (!dependencies.virtualDisplayBackend) {
    dependencies.virtualDisplayBackend = makeVirtualDisplayBackend(dependencies.captureBackend);
  }
  if (auto missing = dependencies.virtualDisplayBackend->missingReason()) {
    common::serverLog("app")->info("Virtual displays: none ({})", *missing);
  } else {
    common::serverLog("app")->info("Virtual displays: RandR outputs");
  }
  auto services = std::shared_ptr<HostServices>(new HostServices(std::move(dependencies)));
  services->onboarding->onHoldHost = [weak = std::weak_ptr(services)] {
    if (auto self = weak.lock()) self->holdServices();
  };
  services->onboarding->onResumeHost = [weak = std::weak_ptr(services)] {
    if (auto self = weak.lock()) self->startServices();
  };
  return services;
}

HostServices::HostServices(Dependencies dependencies)
    : control(control::ControlServer::create({.main = dependencies.main,
                                              .dataDirectory = dependencies.dataDirectory,
                                              .verifier = dependencies.verifier,
                                              .bonjour = dependencies.bonjour,
                                              .hostInfo = dependencies.hostInfo,
                                              .limits = dependencies.controlLimits,
                                              .applications = makeApplications(dependencies)})),
      captureSources(std::make_shared<capture::CaptureSourceManager>(dependencies.captureBackend)),
      streamer(
          capture::ScreenStreamer::create({.main = dependencies.main->context(),
                                           .mainTimers = dependencies.main->timers(),
                                           .backend = dependencies.captureBackend,
                                           .encoderPreference = dependencies.encoderPreference,
                                           .audioBackend = dependencies.audioBackend})),
      video(video::VideoServer::create({.main = dependencies.main->context(),
                                        .mainTimers = dependencies.main->timers(),
                                        .streamer = streamer})),
      virtualDisplays(capture::VirtualDisplayService::create(
          {.main = dependencies.main->context(),
           .timers = dependencies.main->timers(),
           .displays = dependencies.virtualDisplayBackend,
           .capture = dependencies.captureBackend})),
      inputHelper(makeInputHelper(dependencies)),
      permissions(HostPermissionMonitor::create({.main = dependencies.main->context(),
                                                 .timers = dependencies.main->timers(),
                                                 .settings = dependencies.settings,
                                                 .checks = dependencies.setupChecks,
                                                 .bonjour = dependencies.bonjour})),
      onboarding(OnboardingPresenter::create(dependencies.main->context(), permissions)),
      videoDiagnosticsEnabled(dependencies.main->context(), false),
      deps_(std::move(dependencies)) {
  control->port = deps_.controlPort;
  captureSources->setStreamer(streamer);
  streamer->setCaptureSourceManager(captureSources);
  streamer->setPointerGeometryStore(&video->pointerGeometryStore());
  virtualDisplays->setCaptureSources(captureSources);
  virtualDisplays->setStreamer(streamer);
  video->setPrepareCapture(
      [weak = std::weak_ptr<capture::VirtualDisplayService>(virtualDisplays)](
          const capture::StreamConfig& config) { return prepareVirtualDisplay(weak, config); });
  auto peers = std::weak_ptr<control::ControlServer>(control);
  video->setAllowPeer({.isAuthenticated =
                           [peers](const std::string& address) {
                             auto server = peers.lock();
                             return server && server->peers().isAuthenticated(address);
                           },
                       .forget =
                           [peers](const std::string& address) {
                             if (auto server = peers.lock()) server->peers().forgetAddress(address);
                           }},
                      control::pairEveryConnection());
  videoAccess_ = std::make_shared<HostVideoAccess>(video, captureSources, virtualDisplays);
  control->setVideo(videoAccess_);
  video->setInputHelper(inputHelper);
  inputHelperAccess_ = std::make_shared<inputhelper::InputHelperControlAccess>(inputHelper);
  control->setInputHelper(inputHelperAccess_);
  // The helper admits datagrams only from authenticated addresses. Bindings change on control
  // connection threads; the list is read on the main executor, where the manager lives, so the
  // last change always leaves the helper with the current set.
  auto helper = std::weak_ptr<inputhelper::InputHelperProcess>(inputHelper);
  asio::io_context& mainContext = deps_.main->context();
  control->peers().setOnChange([peers, helper, &mainContext] {
    asio::post(mainContext, [peers, helper] {
      auto server = peers.lock();
      auto manager = helper.lock();
      if (!server || !manager) return;
      auto addresses = server->peers().authenticatedAddresses();
      std::sort(addresses.begin(), addresses.end());
      manager->setAllowedPeers(std::move(addresses));
    });
  });
  applyDiagnostics(deps_.settings->boolValue(kVideoDiagnosticsKey, false));
  videoTransport_ = videoTransportFromSetting(
      deps_.transportOverride ? deps_.transportOverride
                              : deps_.settings->stringValue(kVideoTransportKey));
  video->setTransportMode(
      video::transportModeFromText(videoTransport_).value_or(video::VideoTransportMode::udpArq));
  recomputePorts();
  permissions->setControl(control);
  // The helper's gamepad probe runs only where someone can act on its answer: a headless host
  // would run the helper (and create a device) at every start.
  if (deps_.interactiveSetup) permissions->setInputHelper(inputHelper);
  permissions->refresh();
}

void HostServices::setVideoDiagnosticsEnabled(bool enabled) {
  applyDiagnostics(enabled);
  if (auto written = deps_.settings->setBool(kVideoDiagnosticsKey, enabled); !written)
    common::serverLog("app")->error("Settings could not be saved: {}",
                                    written.error().description());
}

void HostServices::applyDiagnostics(bool enabled) {
  videoDiagnosticsEnabled.set(enabled);
  video->setDiagnostics(enabled);
}

void HostServices::recomputePorts() {
  videoPort_ = static_cast<uint16_t>(control->port + 1);
  inputPort_ = static_cast<uint16_t>(control->port + 2);
  inputHelper->port = inputPort_;
}

bool HostServices::setupComplete() const {
  return !deps_.interactiveSetup || !permissions->setupIncomplete();
}

void HostServices::startServices() {
  if (!setupComplete()) return;
  permissions->networkProbe().stop();
  permissions->refresh();
  if (!control->isRunning.get()) control->start();
  recomputePorts();
  // Started even when it runs: a second start is the video server's restart.
  video->setPort(videoPort_);
  video->start();
  permissions->refresh();
}

void HostServices::holdServices() {
  if (video->isRunning.get()) video->stop();
  if (control->isRunning.get()) control->stop();
}

std::vector<std::string> HostServices::startFailures() const {
  std::vector<std::string> failures;
  if (!control->isRunning.get())
    failures.push_back("Control service on port " + std::to_string(control->port) + ": " +
                       control->statusMessage.get());
  if (!video->isRunning.get())
    failures.push_back("Video service (" + videoTransport_ + ") on port " +
                       std::to_string(videoPort_) + ": " + video->statusMessage.get());
  return failures;
}

}  // namespace ferrowin::app
