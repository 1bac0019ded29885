#pragma once
// HostPermissionMonitor: what the host may do on this computer, and whether setup is complete.
// It tracks reading the display (screen recording), synthesizing input (accessibility), the
// virtual gamepad (the input helper's HID probe), the local-network advertisement, and one
// condition that costs quality (Wi-Fi power saving on the interface the host streams over), and
// keeps "ferrowin.onboarding.completed" in settings.json.
//
// LocalNetworkAdvertisementProbe advertises a throw-away service of the host's type to learn
// whether advertising works before the control service runs.
//
// Both live on the main executor; the published flags can be read from any thread.

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "common/runtime/clock.h"
#include "common/runtime/published.h"
#include "common/util/settings.h"
#include "platform/bonjour.h"
#include "platform/setup_checks.h"
#include "server/control/control_server.h"
#include "server/inputhelper/input_helper_process.h"

namespace ferrowin::app {

inline constexpr const char* kOnboardingCompletedKey = "ferrowin.onboarding.completed";

class LocalNetworkAdvertisementProbe {
 public:
  LocalNetworkAdvertisementProbe(asio::io_context& main, std::shared_ptr<platform::Bonjour> bonjour);
  ~LocalNetworkAdvertisementProbe();

  common::Published<bool> isAdvertised;

  /// Listens on a free TCP port (every connection is closed at once) and advertises it; does
  /// nothing while already listening.
  void start();
  /// Withdraws the advertisement and closes the listener.
  void stop();

  struct Listener;

 private:
  asio::io_context& main_;
  std::shared_ptr<platform::Bonjour> bonjour_;
  std::shared_ptr<Listener> listener_;
};

/// The monitor's flags at one moment.
struct PermissionState {
  bool screenRecordingGranted = false;
  bool localNetworkAdvertised = false;
  /// Wi-Fi power saving is on (the counterpart of AirDrop open to everyone: both add latency
  /// spikes to Wi-Fi); `powerSavingInterface` names the interface.
  bool airDropEveryone = false;
  std::string powerSavingInterface;
  std::optional<bool> accessibilityTrusted;
  std::optional<bool> virtualHIDAvailable;
  bool helperMissing = false;
  bool isRefreshing = false;
  bool completed = false;

  /// Not marked completed, or the display or input injection is not (known to be) allowed.
  bool setupIncomplete() const {
    return !completed || !screenRecordingGranted || accessibilityTrusted != true;
  }
  /// Display, input injection and the virtual gamepad all confirmed.
  bool canFinish() const {
    return screenRecordingGranted && accessibilityTrusted == true && virtualHIDAvailable == true;
  }
};

class HostPermissionMonitor : public std::enable_shared_from_this<HostPermissionMonitor> {
 public:
  struct Dependencies {
    asio::io_context& main;
    common::TimerFactory& timers;  // the main executor's
    common::SettingsStore* settings = nullptr;
    std::shared_ptr<platform::SetupChecks> checks;
    std::shared_ptr<platform::Bonjour> bonjour;
  };

  static std::shared_ptr<HostPermissionMonitor> create(Dependencies dependencies);
  ~HostPermissionMonitor();

  common::Published<bool> screenRecordingGranted;
  common::Published<bool> localNetworkAdvertised;
  common::Published<bool> airDropEveryone;
  common::Published<std::string> powerSavingInterface;
  common::Published<std::optional<bool>> accessibilityTrusted;
  common::Published<std::optional<bool>> virtualHIDAvailable;
  common::Published<bool> helperMissing;
  common::Published<bool> isRefreshing;
  common::Published<bool> completed;

  LocalNetworkAdvertisementProbe& networkProbe() { return networkProbe_; }

  /// A snapshot of every flag (any thread).
  PermissionState state() const;
  bool setupIncomplete() const { return state().setupIncomplete(); }

  void setControl(std::weak_ptr<control::ControlServer> control);
  /// Setting the helper manager when none was set may start its HID probe.
  void setInputHelper(std::weak_ptr<inputhelper::InputHelperProcess> helper);

  /// Asks the system again and republishes every flag synchronously.
  void refresh();
  /// Queues a helper preflight; probes run one after another.
  void startHIDProbe(bool prompt, bool testHID);
  /// True while a helper preflight runs or waits.
  bool probing() const { return probeRunning_; }
  /// With the control service running: advertise it again; otherwise restart the probe.
  void retryLocalNetwork();
  /// Clears the completed mark (so the setup window stays until capture is allowed), asks the
  /// desktop portal for a grant again where the host captures through it (an X display cannot be
  /// asked for), and looks again; the portal's answer comes with a later refresh.
  void requestScreenRecording();
  /// Sets and persists the completed mark.
  void markCompleted(bool value);
  /// The command that turns Wi-Fi power saving off on the interface the host uses.
  std::string powerSavingFixCommand() const;
  /// refresh() every second until stopCheapRefresh().
  void startCheapRefresh();
  void stopCheapRefresh();

 private:
  explicit HostPermissionMonitor(Dependencies dependencies);
  struct ProbeRequest {
    bool prompt;
    bool testHID;
  };
  void runNextProbe();
  static asio::awaitable<void> probe(std::weak_ptr<HostPermissionMonitor> weak,
                                    ProbeRequest request);
  void considerHIDProbe();
  void scheduleCheapRefresh(uint64_t ticket);

  Dependencies deps_;
  LocalNetworkAdvertisementProbe networkProbe_;
  common::ObserverToken probeObservation_;
  std::weak_ptr<control::ControlServer> control_;
  std::weak_ptr<inputhelper::InputHelperProcess> inputHelper_;
  std::deque<ProbeRequest> pendingProbes_;
  bool probeRunning_ = false;
  bool hidProbeStarted_ = false;
  std::unique_ptr<common::Timer> cheapRefreshTimer_;
  uint64_t cheapRefreshTicket_ = 0;
};

}  // namespace ferrowin::app
