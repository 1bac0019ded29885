#include "server/app/video_access.h"

#include <asio/async_result.hpp>
#include <asio/use_awaitable.hpp>

#include "common/runtime/flow.h"

namespace ferrowin::app {

namespace {

control::CaptureRouteError routeError(const capture::CaptureSourceError& error) {
  return {error.code == capture::CaptureSourceError::Code::notFound, error.description()};
}

control::FerrowinCaptureSource message(const capture::ListedCaptureSource& source) {
  return {source.id,
          source.kind == capture::CaptureSourceKind::display
              ? control::FerrowinCaptureSourceKind::display
              : control::FerrowinCaptureSourceKind::window,
          source.title,
          source.subtitle,
          source.width,
          source.height,
          source.isPrimary,
          source.isLikelyGame};
}

}  // namespace

std::string HostVideoAccess::transportModeName() const {
  auto video = video_.lock();
  return std::string(
      video::transportModeText(video ? video->transportMode() : video::VideoTransportMode::udpArq));
}

bool HostVideoAccess::isRunning() const {
  auto video = video_.lock();
  return video && video->isRunning.get();
}

asio::awaitable<Expected<control::FerrowinCaptureSourcesResponse, control::CaptureRouteError>>
HostVideoAccess::captureSources() {
  // The caller keeps this object, and so the manager, alive until the route answers.
  auto content = co_await common::runOn(listQueue_.executor(), [sources = sources_.get()] {
    return sources->fetchContent();
  });
  auto list = sources_->sourcesForClient(content);
  if (!list) co_return tl::unexpected(routeError(list.error()));
  control::FerrowinCaptureSourcesResponse response;
  response.selectedId = list->selectedId;
  for (const auto& source : list->sources) response.sources.push_back(message(source));
  co_return response;
}

asio::awaitable<Expected<std::vector<uint8_t>, control::CaptureRouteError>>
HostVideoAccess::thumbnail(std::string id) {
  auto jpeg = co_await common::runOn(thumbnailQueue_.executor(),
                                     [sources = sources_.get(), id = &id] {
                                       return sources->thumbnail(*id);
                                     });
  if (!jpeg) co_return tl::unexpected(routeError(jpeg.error()));
  co_return std::move(*jpeg);
}

asio::awaitable<Expected<control::FerrowinCaptureSourceResponse, control::CaptureRouteError>>
HostVideoAccess::selectCaptureSource(std::string id) {
  using Result = Expected<capture::CaptureSourceManager::Selection, capture::CaptureSourceError>;
  // The streamer answers when the switch is done; the route waits for that answer.
  Result selected = co_await asio::async_initiate<decltype(asio::use_awaitable), void(Result)>(
      [this, &id](auto handler) {
        auto shared = std::make_shared<decltype(handler)>(std::move(handler));
        sources_->selectSource(id, [shared](Result result) { (*shared)(std::move(result)); });
      },
      asio::use_awaitable);
  if (!selected) co_return tl::unexpected(routeError(selected.error()));
  co_return control::FerrowinCaptureSourceResponse{selected->selectedId, selected->applied};
}

}  // namespace ferrowin::app
