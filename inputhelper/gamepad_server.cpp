#include "inputhelper/gamepad_server.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <variant>

#include "common/util/log.h"
#include "common/util/peer_address.h"

namespace ferrowin::inputhelper {

namespace {

auto gamepadLog() { return common::serverLog("gamepad"); }

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

// The interactive-voice service class: DSCP EF, and the matching socket priority.
void markInteractiveVoice(asio::ip::udp::socket& socket, bool v6) {
  const int tos = 0xB8;
  const int priority = 6;
  const int fd = socket.native_handle();
  (void)::setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
  if (v6) (void)::setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &tos, sizeof tos);
  (void)::setsockopt(fd, SOL_SOCKET, SO_PRIORITY, &priority, sizeof priority);
}

// A dual-stack socket where the machine has IPv6, an IPv4 one otherwise.
Expected<asio::ip::udp::socket, std::string> openListener(asio::io_context& context,
                                                          uint16_t port) {
  using asio::ip::udp;
  udp::socket socket(context);
  std::error_code ec;
  bool v6 = true;
  if (socket.open(udp::v6(), ec); ec) {
    v6 = false;
    if (socket.open(udp::v4(), ec); ec) return make_unexpected(ec.message());
  }
  std::error_code ignored;
  if (v6) socket.set_option(asio::ip::v6_only(false), ignored);
  // No address reuse: a second helper (another host's) must not share the port with this one.
  markInteractiveVoice(socket, v6);
  const udp::endpoint local(v6 ? asio::ip::address(asio::ip::address_v6::any())
                               : asio::ip::address(asio::ip::address_v4::any()),
                            port);
  if (socket.bind(local, ec); ec) return make_unexpected(ec.message());
  return socket;
}

}  // namespace

GamepadServer::GamepadServer(asio::io_context& main, common::TimerFactory& mainTimers,
                             const common::Clock& clock, PeerAllowlist& allowlist,
                             std::shared_ptr<VirtualGamepadFactory> gamepads)
    : isRunning(main, false),
      statusMessage(main, "Idle"),
      activeProfile(main, std::nullopt),
      main_(main),
      mainTimers_(mainTimers),
      clock_(clock),
      allowlist_(allowlist),
      gamepads_(std::move(gamepads)) {}

GamepadServer::~GamepadServer() {
  // The socket belongs to the queue: close it there, so no receive handler is left running.
  queue_.sync([this] {
    if (q_.socket) q_.socket->close();
    q_.socket.reset();
    q_.routes = {};
    q_.clients.clear();
  });
  if (lookThread_) lookThread_->stop();
}

void GamepadServer::start(common::DeviceProfile profile, bool gamepadHID, bool mouseHID) {
  stop();
  const uint64_t generation = ++sessionGeneration_;
  auto log = gamepadLog();
  const std::string profileName(common::deviceProfileText(profile));

  std::shared_ptr<GamepadSink> sink;
  if (gamepadHID) {
    statusMessage.set("Creating virtual gamepad...");
    log->info("Creating virtual gamepad (profile {}, gen {})", profileName, generation);
    gamepads_->setXboxUSBReports(steamSupport_);
    auto created = gamepads_->create(profile);
    if (!created) {
      statusMessage.set("HID device failed: " + created.error().description());
      log->error("Virtual gamepad creation failed: {}", created.error().description());
      return;
    }
    if (sessionGeneration_ != generation) {
      log->info("Dropping superseded virtual gamepad (profile {}, gen {})", profileName,
                generation);
      (*created)->cancel();
      return;
    }
    hidDevice_ = *created;
    hidProfile_ = profile;
    hidDevice_->setOnRumble([weak = weak_from_this(), &main = main_](const RumbleMotors& motors) {
      asio::post(main, [weak, motors] {
        if (auto server = weak.lock()) server->sendRumble(motors);
      });
    });
    sink = hidDevice_->makeSink();
    log->info("Virtual gamepad activated (profile {}, gen {})", profileName, generation);
  } else {
    log->info("Skipping virtual gamepad HID (gamepad streaming off)");
    sink = std::make_shared<DiscardSink>();
  }

  if (mouseHID) {
    auto prepared = mouse_ ? mouse_->prepareHIDMouse()
                           : Expected<void, DeviceError>(make_unexpected(DeviceError{"no mouse"}));
    if (!prepared) {
      statusMessage.set("HID mouse failed: " + prepared.error().description());
      log->error("Virtual mouse creation failed: {}", prepared.error().description());
      cancelGamepad("mouse create failed");
      return;
    }
  } else if (mouse_) {
    mouse_->teardownHIDMouse();
  }
  if (sessionGeneration_ != generation) return;

  if (port_ == 0) {
    statusMessage.set("Invalid port");
    cancelGamepad("invalid port");
    if (mouse_) mouse_->teardownHIDMouse();
    return;
  }
  Expected<asio::ip::udp::socket, std::string> listener = make_unexpected(std::string());
  queue_.sync([&] { listener = openListener(queue_.context(), port_); });
  if (!listener) {
    statusMessage.set("Listen failed: " + listener.error());
    log->error("Gamepad UDP listen failed: {}", listener.error());
    // The helper exits after a failed start; leave no device behind either way.
    cancelGamepad("listen failed");
    if (mouse_) mouse_->teardownHIDMouse();
    return;
  }

  applier_ = std::make_shared<GamepadApplier>(sink, clock_);
  if (mouseHID) {
    lookRemapper_ = std::make_shared<ServerLookRemapper>(clock_);
    if (pendingLookTuning_) lookRemapper_->setTuning(*pendingLookTuning_);
    lookThread_ = std::make_unique<LookThread>(lookRemapper_, mouse_);
    lookThread_->start();
    log->info("Server-side look remapper started at {} Hz (dedicated thread)", LookThread::kHz);
  }

  Routes routes{applier_, lookRemapper_, mouse_, keyboard_};
  queue_.sync([&] {
    q_.socket.emplace(std::move(*listener));
    q_.routes = std::move(routes);
    receiveNext(++q_.epoch);
  });

  std::string mode;
  if (gamepadHID) mode = "gamepad " + profileName;
  if (mouseHID) mode += mode.empty() ? "remap mouse" : " + remap mouse";
  if (mode.empty()) mode = profileName;
  // The socket is bound and reading: the listener is ready. Like any listener state change, it
  // reaches the main executor after the start has finished.
  asio::post(main_, [weak = weak_from_this(), generation,
                     text = "Listening on UDP port " + std::to_string(port_) + " (" + mode + ")"] {
    if (auto server = weak.lock()) server->onListenerReady(generation, text);
  });

  running_ = true;
  isRunning.set(true);
  activeProfile.set(profile);
  if (timeoutMs_ > 0) {
    failsafeTimer_ = mainTimers_.makeTimer();
    armFailsafe();
  }
  const std::string status = statusMessage.get();
  if (status == "Creating virtual gamepad..." || status == "Starting (log-only)...") {
    statusMessage.set("Starting...");
  }
}

void GamepadServer::onListenerReady(uint64_t generation, const std::string& text) {
  if (generation != sessionGeneration_ || !running_) return;
  statusMessage.set(text);
  gamepadLog()->info("{}", text);
}

void GamepadServer::armFailsafe() {
  // Sleep, check, repeat: the check itself decides whether the client has gone quiet.
  const double interval = static_cast<double>(std::clamp<int64_t>(timeoutMs_, 20, 100)) / 1000;
  failsafeTimer_->start(interval, [this] {
    if (applier_) applier_->failsafeCheck(static_cast<double>(timeoutMs_) / 1000);
    armFailsafe();
  });
}

void GamepadServer::stop() {
  auto log = gamepadLog();
  if (running_ || hidDevice_) {
    const auto profile = activeProfile.get();
    log->info("Stopping gamepad session (running={}, hadDevice={}, profile={})", running_,
              hidDevice_ != nullptr, profile ? common::deviceProfileText(*profile) : "none");
  }
  ++sessionGeneration_;
  failsafeTimer_.reset();
  if (lookThread_) {
    lookThread_->stop();
    lookThread_.reset();
  }
  if (lookRemapper_) {
    lookRemapper_->reset();
    lookRemapper_.reset();
  }
  size_t cancelled = 0;
  queue_.sync([&] {
    cancelled = q_.clients.size();
    q_.clients.clear();
    if (q_.socket) {
      std::error_code ignored;
      q_.socket->close(ignored);
      q_.socket.reset();
    }
    q_.routes = {};
  });
  if (cancelled > 0) log->info("Cancelled {} gamepad UDP client connection(s)", cancelled);
  applier_.reset();
  if (mouse_) mouse_->releaseAll();
  if (keyboard_) keyboard_->releaseAll();
  if (mouse_) mouse_->teardownHIDMouse();
  cancelGamepad("session stop");
  running_ = false;
  isRunning.set(false);
  activeProfile.set(std::nullopt);
  statusMessage.set("Idle");
}

void GamepadServer::cancelGamepad(const std::string& reason) {
  if (!hidDevice_) return;
  gamepadLog()->info("Cancelling virtual gamepad ({})", reason);
  hidDevice_->cancel();
  hidDevice_.reset();
  hidProfile_.reset();
}

void GamepadServer::applySteamSupport(bool enabled) {
  const bool old = steamSupport_;
  steamSupport_ = enabled;
  if (old && !enabled && hidDevice_ && hidProfile_ == common::DeviceProfile::xbox) {
    hidDevice_->steamSupportTurnedOff();
  }
  gamepads_->setXboxUSBReports(enabled);
  gamepadLog()->info("Steam support {}", enabled ? "on" : "off");
}

void GamepadServer::setLookTuning(const common::GamepadRemapLookTuning& tuning) {
  pendingLookTuning_ = tuning;
  if (lookRemapper_) lookRemapper_->setTuning(tuning);
  gamepadLog()->info(
      "Look tuning sensitivity={:.2f} accel={:.2f} dz={:.3f} curve={} ramp={} vScale={:.2f}",
      tuning.sensitivity, tuning.acceleration, tuning.deadzone, common::rawValue(tuning.stickCurve),
      common::rawValue(tuning.rampCurve), tuning.verticalScale);
}

void GamepadServer::sendRumble(const RumbleMotors& motors) {
  const auto packet = encodeRumblePacket(motors, ++rumbleSequence_);
  queue_.post([this, packet] {
    if (!q_.socket) return;
    for (const auto& client : q_.clients) {
      std::error_code ignored;  // lost rumble is not repeated
      q_.socket->send_to(asio::buffer(packet), client, 0, ignored);
    }
  });
}

void GamepadServer::receiveNext(uint64_t epoch) {
  // Waits until the socket is readable, then reads everything waiting in batches.
  q_.socket->async_wait(asio::socket_base::wait_read, [this, epoch](const std::error_code& ec) {
    if (epoch != q_.epoch || !q_.socket) return;
    if (ec == asio::error::operation_aborted) return;
    if (!ec) {
      q_.reader.drain(*q_.socket, [this](const asio::ip::udp::endpoint& from,
                                         std::span<const uint8_t> datagram) {
        if (!datagram.empty()) onDatagram(from, datagram);
      });
    }
    receiveNext(epoch);
  });
}

void GamepadServer::onDatagram(const asio::ip::udp::endpoint& from,
                               std::span<const uint8_t> datagram) {
  auto& clients = q_.clients;
  if (auto known = std::find(clients.begin(), clients.end(), from); known != clients.end()) {
    std::rotate(known, known + 1, clients.end());
  } else {
    // A new remote address and port: admitted only if the host allows its address right now.
    if (!allowlist_.contains(common::peerAddressText(from.address()))) return;
    // The one heard from longest ago makes room; it is admitted again when it sends again.
    if (clients.size() == kMaxClients) clients.erase(clients.begin());
    clients.push_back(from);
  }
  route(q_.routes, datagram);
}

void GamepadServer::route(const Routes& routes, std::span<const uint8_t> datagram) {
  auto packet = classifyDatagram(datagram);
  if (!packet) return;
  std::visit(Overloaded{
                 [&](const VirtualGamepadPacket& p) {
                   if (routes.applier) routes.applier->apply(p.sequence, p.report);
                 },
                 [&](const VirtualLookPacket& p) {
                   if (routes.lookRemapper) {
                     routes.lookRemapper->feed(p.stickX, p.stickY, p.gyroX, p.gyroY);
                   }
                 },
                 [&](const VirtualMousePacket& p) {
                   if (routes.mouse) routes.mouse->handle(p);
                 },
                 [&](const VirtualKeyPacket& p) {
                   if (routes.keyboard) routes.keyboard->handleKey(p);
                 },
                 [&](const VirtualTextPacket& p) {
                   if (routes.keyboard) routes.keyboard->typeText(p.sequence, p.text);
                 },
             },
             *packet);
}

}  // namespace ferrowin::inputhelper
