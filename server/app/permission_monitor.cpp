#include "server/app/permission_monitor.h"

#include <asio/post.hpp>

#include "common/runtime/flow.h"
#include "common/util/log.h"

namespace ferrowin::app {

namespace {

// The flags are refreshed every second while setup is open; observers hear only of changes.
template <class T>
void update(common::Published<T>& published, const T& value) {
  if (!(published.get() == value)) published.set(value);
}

}  // namespace

struct LocalNetworkAdvertisementProbe::Listener {
  explicit Listener(asio::io_context& main) : acceptor(main) {}
  asio::ip::tcp::acceptor acceptor;
  std::unique_ptr<platform::BonjourRegistration> registration;
};

LocalNetworkAdvertisementProbe::LocalNetworkAdvertisementProbe(
    asio::io_context& main, std::shared_ptr<platform::Bonjour> bonjour)
    : isAdvertised(main, false), main_(main), bonjour_(std::move(bonjour)) {}

LocalNetworkAdvertisementProbe::~LocalNetworkAdvertisementProbe() { stop(); }

namespace {

// Nobody is meant to connect: whoever does is closed at once.
void acceptAndClose(std::weak_ptr<LocalNetworkAdvertisementProbe::Listener> weak);

}  // namespace

void LocalNetworkAdvertisementProbe::start() {
  if (listener_) return;
  auto listener = std::make_shared<Listener>(main_);
  std::error_code error;
  listener->acceptor.open(asio::ip::tcp::v4(), error);
  if (!error) listener->acceptor.bind({asio::ip::address_v4::any(), 0}, error);
  if (!error) listener->acceptor.listen(asio::socket_base::max_listen_connections, error);
  if (error) {
    common::serverLog("setup")->warn("Local network probe cannot listen: {}", error.message());
    isAdvertised.set(false);
    return;
  }
  listener_ = listener;
  acceptAndClose(listener);
  if (!bonjour_) return;
  const uint16_t port = listener->acceptor.local_endpoint(error).port();
  listener->registration = bonjour_->advertise(
      control::kBonjourServiceType, port,
      [weak = std::weak_ptr<Listener>(listener), this, &main = main_](platform::BonjourEvent event) {
        asio::post(main, [weak, this, event] {
          if (!weak.lock()) return;  // a stopped probe's late event
          update(isAdvertised, event.kind == platform::BonjourEvent::Kind::added);
        });
      });
}

void LocalNetworkAdvertisementProbe::stop() {
  if (listener_) {
    listener_->registration.reset();
    std::error_code ignored;
    listener_->acceptor.close(ignored);
    listener_.reset();
  }
  update(isAdvertised, false);
}

namespace {

void acceptAndClose(std::weak_ptr<LocalNetworkAdvertisementProbe::Listener> weak) {
  auto listener = weak.lock();
  if (!listener) return;
  listener->acceptor.async_accept([weak](std::error_code error, asio::ip::tcp::socket socket) {
    if (error) return;
    std::error_code ignored;
    socket.close(ignored);
    acceptAndClose(weak);
  });
}

}  // namespace

std::shared_ptr<HostPermissionMonitor> HostPermissionMonitor::create(Dependencies dependencies) {
  auto monitor =
      std::shared_ptr<HostPermissionMonitor>(new HostPermissionMonitor(std::move(dependencies)));
  monitor->probeObservation_ = monitor->networkProbe_.isAdvertised.observe(
      [weak = std::weak_ptr(monitor)](bool) {
        if (auto self = weak.lock()) self->refresh();
      });
  // A portal grant revoked (or given) while nobody looks: refreshed at once, so the setup window
  // comes back and the services are held.
  monitor->deps_.checks->setChangeHandler(
      [weak = std::weak_ptr(monitor), &main = monitor->deps_.main] {
        asio::post(main, [weak] {
          if (auto self = weak.lock()) self->refresh();
        });
      });
  return monitor;
}

HostPermissionMonitor::HostPermissionMonitor(Dependencies dependencies)
    : screenRecordingGranted(dependencies.main, false),
      localNetworkAdvertised(dependencies.main, false),
      airDropEveryone(dependencies.main, false),
      powerSavingInterface(dependencies.main, std::string()),
      accessibilityTrusted(dependencies.main, std::nullopt),
      virtualHIDAvailable(dependencies.main, std::nullopt),
      helperMissing(dependencies.main, false),
      isRefreshing(dependencies.main, false),
      completed(dependencies.main,
                dependencies.settings->boolValue(kOnboardingCompletedKey, false)),
      deps_(std::move(dependencies)),
      networkProbe_(deps_.main, deps_.bonjour) {
  if (!deps_.checks) deps_.checks = std::make_shared<platform::FixedSetupChecks>();
}

HostPermissionMonitor::~HostPermissionMonitor() {
  deps_.checks->setChangeHandler({});
  stopCheapRefresh();
}

PermissionState HostPermissionMonitor::state() const {
  return {.screenRecordingGranted = screenRecordingGranted.get(),
          .localNetworkAdvertised = localNetworkAdvertised.get(),
          .airDropEveryone = airDropEveryone.get(),
          .powerSavingInterface = powerSavingInterface.get(),
          .accessibilityTrusted = accessibilityTrusted.get(),
          .virtualHIDAvailable = virtualHIDAvailable.get(),
          .helperMissing = helperMissing.get(),
          .isRefreshing = isRefreshing.get(),
          .completed = completed.get()};
}

void HostPermissionMonitor::setControl(std::weak_ptr<control::ControlServer> control) {
  control_ = std::move(control);
}

void HostPermissionMonitor::setInputHelper(std::weak_ptr<inputhelper::InputHelperProcess> helper) {
  const bool wasUnset = !inputHelper_.lock();
  inputHelper_ = std::move(helper);
  if (wasUnset) considerHIDProbe();
}

void HostPermissionMonitor::refresh() {
  update(screenRecordingGranted, deps_.checks->screenCaptureAllowed());
  auto control = control_.lock();
  update(localNetworkAdvertised, control && control->isBonjourAdvertised.get()
                                     ? true
                                     : networkProbe_.isAdvertised.get());
  const auto powerSaving = deps_.checks->wifiPowerSavingInterface();
  update(powerSavingInterface, powerSaving.value_or(""));
  update(airDropEveryone, powerSaving.has_value());
  const bool trusted = deps_.checks->inputInjectionAllowed();
  if (!trusted) hidProbeStarted_ = false;
  update(accessibilityTrusted, std::optional<bool>(trusted));
  if (completed.get() && (!screenRecordingGranted.get() || !trusted)) markCompleted(false);
  considerHIDProbe();
}

void HostPermissionMonitor::considerHIDProbe() {
  if (accessibilityTrusted.get() != true || hidProbeStarted_ || !inputHelper_.lock()) return;
  hidProbeStarted_ = true;
  startHIDProbe(false, true);
}

void HostPermissionMonitor::startHIDProbe(bool prompt, bool testHID) {
  pendingProbes_.push_back({prompt, testHID});
  if (!probeRunning_) runNextProbe();
}

void HostPermissionMonitor::runNextProbe() {
  if (pendingProbes_.empty()) {
    probeRunning_ = false;
    return;
  }
  probeRunning_ = true;
  const ProbeRequest request = pendingProbes_.front();
  pendingProbes_.pop_front();
  common::spawn(deps_.main.get_executor(), probe(weak_from_this(), request));
}

asio::awaitable<void> HostPermissionMonitor::probe(std::weak_ptr<HostPermissionMonitor> weak,
                                                 ProbeRequest request) {
  std::shared_ptr<inputhelper::InputHelperProcess> helper;
  if (auto self = weak.lock()) {
    helper = self->inputHelper_.lock();
    if (!helper) co_return self->runNextProbe();
    update(self->isRefreshing, true);
  }
  if (!helper) co_return;
  auto result = co_await helper->preflight(request.prompt, !request.testHID);
  helper.reset();
  auto self = weak.lock();
  if (!self) co_return;
  if (result) {
    update(self->helperMissing, false);
    if (request.testHID)
      update(self->virtualHIDAvailable, std::optional(result->virtualHIDAvailable));
    self->refresh();
    if (request.prompt && result->accessibilityTrusted) {
      update(self->accessibilityTrusted, std::optional<bool>(true));
      self->considerHIDProbe();
    }
  } else if (request.testHID) {
    update(self->helperMissing, true);
    update(self->virtualHIDAvailable, std::optional<bool>());
    self->refresh();
  } else {
    self->refresh();
  }
  update(self->isRefreshing, false);
  self->runNextProbe();
}

void HostPermissionMonitor::retryLocalNetwork() {
  auto control = control_.lock();
  if (control && control->isRunning.get()) {
    control->retryBonjour();
  } else {
    networkProbe_.stop();
    networkProbe_.start();
  }
  refresh();
}

void HostPermissionMonitor::requestScreenRecording() {
  markCompleted(false);
  deps_.checks->requestScreenCapture();
  refresh();
}

void HostPermissionMonitor::markCompleted(bool value) {
  update(completed, value);
  if (auto written = deps_.settings->setBool(kOnboardingCompletedKey, value); !written)
    common::serverLog("setup")->error("Settings could not be saved: {}",
                                      written.error().description());
}

std::string HostPermissionMonitor::powerSavingFixCommand() const {
  const std::string interface = powerSavingInterface.get();
  return "sudo iw dev " + (interface.empty() ? std::string("<interface>") : interface) +
         " set power_save off";
}

void HostPermissionMonitor::startCheapRefresh() {
  stopCheapRefresh();
  cheapRefreshTimer_ = deps_.timers.makeTimer();
  scheduleCheapRefresh(++cheapRefreshTicket_);
}

void HostPermissionMonitor::stopCheapRefresh() {
  ++cheapRefreshTicket_;
  if (cheapRefreshTimer_) cheapRefreshTimer_->cancel();
  cheapRefreshTimer_.reset();
}

void HostPermissionMonitor::scheduleCheapRefresh(uint64_t ticket) {
  cheapRefreshTimer_->start(1.0, [weak = weak_from_this(), ticket] {
    auto self = weak.lock();
    if (!self || ticket != self->cheapRefreshTicket_) return;
    self->refresh();
    if (ticket == self->cheapRefreshTicket_) self->scheduleCheapRefresh(ticket);
  });
}

}  // namespace ferrowin::app
