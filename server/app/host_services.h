#pragma once
// HostServices: the one object that creates the host's services, wires them to one another,
// reads the persisted user settings, and starts, holds and stops the services. It owns every
// service; services reach one another only through weak references. Lives on the main executor.
//
// Ports: control (default 52345), video = control + 1, input = control + 2, recomputed at every
// start so a different control port moves the other two with it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/runtime/main_executor.h"
#include "common/runtime/published.h"
#include "common/util/settings.h"
#include "platform/audio_capture.h"
#include "platform/bonjour.h"
#include "platform/capture.h"
#include "platform/host_info.h"
#include "platform/setup_checks.h"
#include "platform/video_encoder.h"
#include "platform/virtual_display.h"
#include "server/app/onboarding.h"
#include "server/app/permission_monitor.h"
#include "server/capture/capture_sources.h"
#include "server/capture/screen_streamer.h"
#include "server/capture/virtual_display_service.h"
#include "server/control/client_proof.h"
#include "server/control/control_server.h"
#include "server/inputhelper/input_helper_process.h"
#include "server/video/video_server.h"

namespace ferrowin::app {

inline constexpr const char* kVideoDiagnosticsKey = "ferrowin.video.diagnostics";
inline constexpr const char* kVideoTransportKey = "ferrowin.video.transport";

/// Where the portal's restore token is kept, so a restart captures without asking again.
inline constexpr const char* kPortalRestoreTokenKey = "ferrowin.capture.portalRestoreToken";

/// Reads an environment variable; empty when unset.
using EnvironmentLookup = std::function<std::string(const char* name)>;
std::string processEnvironment(const char* name);

/// What --capture asks for. "x11", "portal" and "synthetic" name a backend; "auto" (also when
/// absent) picks the portal in a Wayland session (WAYLAND_DISPLAY set, or XDG_SESSION_TYPE
/// "wayland"), X11 where only DISPLAY is set, and the synthetic pattern otherwise. `reason` says
/// why, for the start-up log.
struct CaptureChoice {
  std::string kind;  // "x11", "portal" or "synthetic"
  std::string reason;
  bool automatic = true;
};
CaptureChoice chooseCapture(const std::optional<std::string>& option,
                            const EnvironmentLookup& environment = processEnvironment);

struct CaptureSetup {
  std::shared_ptr<platform::CaptureBackend> backend;
  std::string kind;         // what actually runs: "x11", "portal" or "synthetic"
  std::string description;  // the start-up log's words for it
  /// The desktop portal's grant (the portal only): what setup's Screen Recording row shows.
  std::shared_ptr<platform::ScreenCaptureGrant> grant;
};

/// Opens the chosen backend. The portal asks on the session bus of `environment`
/// (DBUS_SESSION_BUS_ADDRESS), with the restore token kept in `settings` (which must outlive the
/// backend), and saves the new one.
/// An explicit choice that cannot be opened fails with the reason; an automatic one falls back —
/// portal, then X11 when DISPLAY is set, then the synthetic pattern — with a warning.
[[nodiscard]] Expected<CaptureSetup, std::string> makeCaptureBackend(
    const CaptureChoice& choice, common::SettingsStore& settings,
    const EnvironmentLookup& environment = processEnvironment);

/// The audio backend for --audio: "pulse", "synthetic", or absent: the synthetic tone when the
/// capture is the synthetic pattern, PulseAudio otherwise.
std::shared_ptr<platform::AudioCaptureBackend> makeAudioBackend(
    const std::optional<std::string>& choice, bool syntheticCapture);

/// Virtual monitors on the X display that `capture` reads (RandR), or none (with the reason) when
/// it captures the test pattern or through the desktop portal (`kind` "portal").
std::shared_ptr<platform::VirtualDisplayBackend> makeVirtualDisplayBackend(
    const std::shared_ptr<platform::CaptureBackend>& capture, const std::string& kind = "");

/// "tcp" and "udp_fec" select themselves; anything else, or nothing, selects "udp_arq".
std::string videoTransportFromSetting(const std::optional<std::string>& value);

class HostServices : public std::enable_shared_from_this<HostServices> {
 public:
  struct Dependencies {
    common::MainExecutor* main = nullptr;
    common::SettingsStore* settings = nullptr;
    /// The host's data folder (<data dir>/com.zavel.ferrowin.server).
    std::filesystem::path dataDirectory;
    uint16_t controlPort = 52345;
    /// --transport: replaces the saved transport for this run without being saved.
    std::optional<std::string> transportOverride;
    std::shared_ptr<const control::ClientProofVerifier> verifier;
    std::shared_ptr<platform::Bonjour> bonjour;
    std::shared_ptr<platform::HostInfo> hostInfo;
    control::ControlListenerLimits controlLimits;
    /// What the streamer captures from (X11, the portal's PipeWire nodes or the synthetic
    /// pattern; the pattern when empty).
    std::shared_ptr<platform::CaptureBackend> captureBackend;
    /// Where virtual displays come from (absent: makeVirtualDisplayBackend).
    std::shared_ptr<platform::VirtualDisplayBackend> virtualDisplayBackend;
    platform::EncoderPreference encoderPreference = platform::EncoderPreference::automatic;
    /// Where system audio comes from (none: streams have no sound).
    std::shared_ptr<platform::AudioCaptureBackend> audioBackend;
    /// The input helper to run instead of the one beside the host executable; leftover helpers
    /// are then looked for under its file name only.
    std::optional<std::filesystem::path> inputHelperPath;
    /// What setup asks the system (display, XTEST, Wi-Fi); none: nothing is granted.
    std::shared_ptr<platform::SetupChecks> setupChecks;
    /// A person can finish setup in a window: the services wait until setup is complete, and the
    /// permission monitor probes the helper's virtual gamepad. Otherwise (headless) setup is
    /// only reported and the services start regardless.
    bool interactiveSetup = false;
  };

  /// Builds and wires everything; starts nothing but the permission monitor's first refresh.
  static std::shared_ptr<HostServices> create(Dependencies dependencies);

  const std::shared_ptr<control::ControlServer> control;
  const std::shared_ptr<capture::CaptureSourceManager> captureSources;
  const std::shared_ptr<capture::ScreenStreamer> streamer;
  const std::shared_ptr<video::VideoServer> video;
  const std::shared_ptr<capture::VirtualDisplayService> virtualDisplays;
  const std::shared_ptr<inputhelper::InputHelperProcess> inputHelper;
  const std::shared_ptr<HostPermissionMonitor> permissions;
  const std::shared_ptr<OnboardingPresenter> onboarding;
  common::Published<bool> videoDiagnosticsEnabled;

  /// The video transport the video server is to use: "tcp", "udp_arq" or "udp_fec".
  const std::string& videoTransport() const { return videoTransport_; }
  uint16_t videoPort() const { return videoPort_; }
  uint16_t inputPort() const { return inputPort_; }

  /// Stores the flag and persists it under "ferrowin.video.diagnostics".
  void setVideoDiagnosticsEnabled(bool enabled);

  /// Starts the control service if it is not running (a running one keeps its pairing code), and
  /// the video server on the video port.
  /// Does nothing while setup is incomplete.
  void startServices();
  /// Stops what is running: video, then control.
  void holdServices();
  /// After startServices: one line per service that is not running, naming its port and its
  /// status (the reason). Empty when everything runs.
  std::vector<std::string> startFailures() const;
  /// Setup is complete, or nobody can complete it here (headless).
  bool setupComplete() const;

 private:
  explicit HostServices(Dependencies dependencies);
  void applyDiagnostics(bool enabled);
  void recomputePorts();

  Dependencies deps_;
  std::shared_ptr<control::ControlVideoAccess> videoAccess_;
  std::shared_ptr<control::ControlInputHelperAccess> inputHelperAccess_;
  std::string videoTransport_;
  uint16_t videoPort_ = 0;
  uint16_t inputPort_ = 0;
};

}  // namespace ferrowin::app
