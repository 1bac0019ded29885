#pragma once
// What the control routes ask of the video side: the transport, whether a client streams, and the
// three capture routes, answered by the video server and the capture-source manager. Called on the
// main executor; the display-server work of the list and of thumbnails (X11 queries, screenshot,
// JPEG) runs on queues of their own ("com.zavel.ferrowin.capture.sources" and
// "com.zavel.ferrowin.capture.thumbnails") while the route awaits it, so the main thread stays
// free for transports, the helper and other requests, and a slow thumbnail holds up no list.

#include <memory>

#include "common/runtime/serial_queue.h"
#include "server/capture/capture_sources.h"
#include "server/capture/virtual_display_service.h"
#include "server/control/collaborators.h"
#include "server/video/video_server.h"

namespace ferrowin::app {

class HostVideoAccess final : public control::ControlVideoAccess {
 public:
  HostVideoAccess(std::weak_ptr<video::VideoServer> video,
                  std::shared_ptr<capture::CaptureSourceManager> sources,
                  std::weak_ptr<capture::VirtualDisplayService> virtualDisplays = {})
      : video_(std::move(video)),
        sources_(std::move(sources)),
        virtualDisplays_(std::move(virtualDisplays)) {}

  std::string transportModeName() const override;
  bool isRunning() const override;
  void releaseVirtualDisplay() override {
    if (auto service = virtualDisplays_.lock()) service->release();
  }
  asio::awaitable<Expected<control::FerrowinCaptureSourcesResponse, control::CaptureRouteError>>
  captureSources() override;
  asio::awaitable<Expected<std::vector<uint8_t>, control::CaptureRouteError>> thumbnail(
      std::string id) override;
  asio::awaitable<Expected<control::FerrowinCaptureSourceResponse, control::CaptureRouteError>>
  selectCaptureSource(std::string id) override;

 private:
  std::weak_ptr<video::VideoServer> video_;
  std::shared_ptr<capture::CaptureSourceManager> sources_;
  std::weak_ptr<capture::VirtualDisplayService> virtualDisplays_;
  common::SerialQueue listQueue_{"com.zavel.ferrowin.capture.sources"};
  common::SerialQueue thumbnailQueue_{"com.zavel.ferrowin.capture.thumbnails"};
};

}  // namespace ferrowin::app
