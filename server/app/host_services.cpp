#include "server/app/host_services.h"

#include "common/util/log.h"

namespace ferrowin::app {

std::string videoTransportFromSetting(const std::optional<std::string>& value) {
  if (value == "tcp" || value == "udp_fec") return *value;
  return "udp_arq";
}

std::shared_ptr<HostServices> HostServices::create(Dependencies dependencies) {
  return std::shared_ptr<HostServices>(new HostServices(std::move(dependencies)));
}

HostServices::HostServices(Dependencies dependencies)
    : control(control::ControlServer::create({.main = dependencies.main,
                                              .dataDirectory = dependencies.dataDirectory,
                                              .verifier = dependencies.verifier,
                                              .bonjour = dependencies.bonjour,
                                              .hostInfo = dependencies.hostInfo,
                                              .limits = dependencies.controlLimits})),
      videoDiagnosticsEnabled(dependencies.main->context(), false),
      deps_(std::move(dependencies)) {
  control->port = deps_.controlPort;
  applyDiagnostics(deps_.settings->boolValue(kVideoDiagnosticsKey, false));
  videoTransport_ = videoTransportFromSetting(
      deps_.transportOverride ? deps_.transportOverride
                              : deps_.settings->stringValue(kVideoTransportKey));
  recomputePorts();
}

void HostServices::setVideoDiagnosticsEnabled(bool enabled) {
  applyDiagnostics(enabled);
  if (auto written = deps_.settings->setBool(kVideoDiagnosticsKey, enabled); !written)
    common::serverLog("app")->error("Settings could not be saved: {}",
                                    written.error().description());
}

void HostServices::applyDiagnostics(bool enabled) { videoDiagnosticsEnabled.set(enabled); }

void HostServices::recomputePorts() {
  videoPort_ = static_cast<uint16_t>(control->port + 1);
  inputPort_ = static_cast<uint16_t>(control->port + 2);
}

void HostServices::startServices() {
  if (!setupComplete()) return;
  if (!control->isRunning.get()) control->start();
  recomputePorts();
}

void HostServices::holdServices() {
  if (control->isRunning.get()) control->stop();
}

}  // namespace ferrowin::app
