#pragma once
// The input session: one UDP port for the client's gamepad, look, mouse, key and text datagrams,
// admitted per remote address and port against the host's allowlist, and rumble datagrams back to
// every admitted client from that same port.
//
// start(), stop() and the setters belong to the main executor. The socket, the client set and
// datagram classification live on the "com.zavel.ferrowin.gamepad" queue; the look remapper has
// its own thread.

#include <array>
#include <asio/ip/udp.hpp>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>
#include <string>

#include "common/device_profile.h"
#include "common/helper_stdin.h"
#include "common/runtime/clock.h"
#include "common/runtime/published.h"
#include "common/runtime/serial_queue.h"
#include "common/util/udp_batch.h"
#include "inputhelper/gamepad_applier.h"
#include "inputhelper/look_thread.h"
#include "inputhelper/peer_allowlist.h"
#include "inputhelper/session_devices.h"

namespace ferrowin::inputhelper {

class GamepadServer : public std::enable_shared_from_this<GamepadServer> {
 public:
  /// Admitted remote addresses and ports kept at once (rumble goes to each).
  static constexpr size_t kMaxClients = 16;

  GamepadServer(asio::io_context& main, common::TimerFactory& mainTimers,
                const common::Clock& clock, PeerAllowlist& allowlist,
                std::shared_ptr<VirtualGamepadFactory> gamepads);
  ~GamepadServer();

  common::Published<bool> isRunning;
  common::Published<std::string> statusMessage;
  common::Published<std::optional<common::DeviceProfile>> activeProfile;

  // Set before start().
  void setPort(uint16_t port) { port_ = port; }
  void setTimeoutMs(int64_t timeoutMs) { timeoutMs_ = timeoutMs; }
  void setMouseInjector(std::shared_ptr<MouseInput> mouse) { mouse_ = std::move(mouse); }
  void setKeyboardInjector(std::shared_ptr<KeyboardInput> keyboard) {
    keyboard_ = std::move(keyboard);
  }

  /// On return, isRunning tells whether the session runs; a failure leaves its reason in
  /// statusMessage.
  void start(common::DeviceProfile profile, bool gamepadHID, bool mouseHID);
  /// Safe when not running.
  void stop();

  void applySteamSupport(bool enabled);
  void setLookTuning(const common::GamepadRemapLookTuning& tuning);
  /// Sends one rumble datagram to every admitted client (the last kMaxClients heard from).
  void sendRumble(const RumbleMotors& motors);

 private:
  // Everything the queue reads, swapped in and out by start() and stop() on the queue itself.
  struct Routes {
    std::shared_ptr<GamepadApplier> applier;
    std::shared_ptr<ServerLookRemapper> lookRemapper;
    std::shared_ptr<MouseInput> mouse;
    std::shared_ptr<KeyboardInput> keyboard;
  };

  void cancelGamepad(const std::string& reason);
  void onListenerReady(uint64_t generation, const std::string& text);
  void armFailsafe();
  // On the queue.
  void receiveNext(uint64_t epoch);
  void onDatagram(const asio::ip::udp::endpoint& from, std::span<const uint8_t> datagram);
  void route(const Routes& routes, std::span<const uint8_t> datagram);

  asio::io_context& main_;
  common::TimerFactory& mainTimers_;
  const common::Clock& clock_;
  PeerAllowlist& allowlist_;
  std::shared_ptr<VirtualGamepadFactory> gamepads_;

  uint16_t port_ = 52347;
  int64_t timeoutMs_ = 1000;
  std::shared_ptr<MouseInput> mouse_;
  std::shared_ptr<KeyboardInput> keyboard_;
  bool steamSupport_ = true;
  uint64_t sessionGeneration_ = 0;
  uint32_t rumbleSequence_ = 0;
  bool running_ = false;
  std::shared_ptr<GamepadApplier> applier_;
  std::shared_ptr<ServerLookRemapper> lookRemapper_;
  std::unique_ptr<LookThread> lookThread_;
  std::optional<common::GamepadRemapLookTuning> pendingLookTuning_;
  std::shared_ptr<VirtualGamepadDevice> hidDevice_;
  std::optional<common::DeviceProfile> hidProfile_;
  std::unique_ptr<common::Timer> failsafeTimer_;

  // Declared last: its thread stops first, before the state its handlers touch goes away.
  struct QueueState {
    std::optional<asio::ip::udp::socket> socket;
    Routes routes;
    // The admitted remote addresses and ports, the most recently heard last; at most
    // kMaxClients, so a flood from ever new ports of an allowed address cannot grow it.
    std::vector<asio::ip::udp::endpoint> clients;
    uint64_t epoch = 0;  // which socket a completion belongs to
    common::UdpBatchReader reader{2048};
  };
  QueueState q_;
  common::SerialQueue queue_{"com.zavel.ferrowin.gamepad"};
};

}  // namespace ferrowin::inputhelper
