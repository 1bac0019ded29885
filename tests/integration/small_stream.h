#pragma once
// The stream the end-to-end tests ask for: small and light, so a loaded two-core machine keeps up.

#include "client/video/video_client.h"
#include "tests/integration/host_process.h"

namespace ferrowin::testing {

/// 320 × 180 at 30 fps and 800 kbit/s from `host`'s video port.
inline client::VideoClientOptions smallStream(const HostProcess& host) {
  client::VideoClientOptions options;
  options.port = static_cast<uint16_t>(host.port() + 1);
  options.config.width = 320;
  options.config.height = 180;
  options.config.fps = 30;
  options.config.bitrateKbps = 800;
  return options;
}

}  // namespace ferrowin::testing
