#pragma once
// What the control routes ask of the video side: the transport, whether a client streams, and the
// three capture routes, answered by the video server and the capture-source manager. Main
// executor only.

#include <memory>

#include "server/capture/capture_sources.h"
#include "server/control/collaborators.h"
#include "server/video/video_server.h"

namespace ferrowin::app {

class HostVideoAccess final : public control::ControlVideoAccess {
 public:
  HostVideoAccess(std::weak_ptr<video::VideoServer> video,
                  std::shared_ptr<capture::CaptureSourceManager> sources)
      : video_(std::move(video)), sources_(std::move(sources)) {}

  std::string transportModeName() const override;
  bool isRunning() const override;
  /// There is no virtual display on this host.
  void releaseVirtualDisplay() override {}
  asio::awaitable<Expected<control::FerrowinCaptureSourcesResponse, control::CaptureRouteError>>
  captureSources() override;
  asio::awaitable<Expected<std::vector<uint8_t>, control::CaptureRouteError>> thumbnail(
      std::string id) override;
  asio::awaitable<Expected<control::FerrowinCaptureSourceResponse, control::CaptureRouteError>>
  selectCaptureSource(std::string id) override;

 private:
  std::weak_ptr<video::VideoServer> video_;
  std::shared_ptr<capture::CaptureSourceManager> sources_;
};

}  // namespace ferrowin::app
