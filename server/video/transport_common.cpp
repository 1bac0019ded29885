#include "server/video/transport_common.h"

#include <asio/post.hpp>

#include "common/runtime/flow.h"

namespace ferrowin::video {

void TransportCommon::sendParameterSets(const std::vector<Bytes>& blobs, int width, int height) {
  videoHeld_ = false;
  queueMessage(MessageKind::parameterSets, 0, 0, encodeParameterSetsPayload(blobs, width, height));
}

void TransportCommon::sendEncoded(Bytes data, bool keyframe, uint64_t pts) {
  if (videoHeld_) return;
  if (auto stats = currentStats()) stats->recordFrameSend(pts, clock_.now());
  queueMessage(MessageKind::videoFrame, keyframe ? kKeyframeFlag : 0, pts, std::move(data));
}

void TransportCommon::sendAudioConfig(Bytes data) {
  audioHeld_ = false;
  queueMessage(MessageKind::audioConfig, 0, 0, std::move(data));
}

void TransportCommon::sendAudio(Bytes data, uint64_t pts) {
  if (audioHeld_) return;
  queueMessage(MessageKind::audioPacket, 0, pts, std::move(data));
}

void TransportCommon::holdUntilNewStream() {
  videoHeld_ = true;
  audioHeld_ = true;
}

void TransportCommon::setPrepareCapture(PrepareCapture prepare) {
  std::lock_guard guard(callbackLock_);
  prepareCapture_ = std::move(prepare);
}

void TransportCommon::setAllowPeer(AllowPeer allow) {
  std::lock_guard guard(peerLock_);
  allowPeer_ = std::move(allow);
}

void TransportCommon::setOnPeerDisconnected(PeerDisconnected handler) {
  std::lock_guard guard(peerLock_);
  onPeerDisconnected_ = std::move(handler);
}

bool TransportCommon::beginSession(uint16_t port, std::weak_ptr<VideoStreamSource> streamer,
                                   std::weak_ptr<VideoStreamStats> stats,
                                   std::shared_ptr<VideoDiagnosticsGate> gate,
                                   TransportCallbacks callbacks) {
  stop();
  {
    std::lock_guard guard(callbackLock_);
    streamer_ = std::move(streamer);
    stats_ = std::move(stats);
    gate_ = std::move(gate);
    callbacks_ = std::move(callbacks);
  }
  if (port == 0) {
    statusNow("Invalid port");
    return false;
  }
  return true;
}

void TransportCommon::statusNow(const std::string& text) {
  std::function<void(const std::string&)> onStatus;
  {
    std::lock_guard guard(callbackLock_);
    onStatus = callbacks_.onStatus;
  }
  if (onStatus) onStatus(text);
}

std::shared_ptr<VideoStreamStats> TransportCommon::currentStats() {
  std::lock_guard guard(callbackLock_);
  return stats_.lock();
}

bool TransportCommon::diagnosticsOn() {
  std::lock_guard guard(callbackLock_);
  return gate_ && gate_->enabled();
}

bool TransportCommon::isAllowed(const std::string& peerAddress) {
  std::lock_guard guard(peerLock_);
  return allowPeer_ && allowPeer_(peerAddress);
}

void TransportCommon::reportPeerDisconnected(const std::string& peerAddress) {
  std::lock_guard guard(peerLock_);
  if (onPeerDisconnected_) onPeerDisconnected_(peerAddress);
}

void TransportCommon::postStatus(const std::string& text) {
  std::lock_guard guard(callbackLock_);
  if (auto onStatus = callbacks_.onStatus) asio::post(main_, [onStatus, text] { onStatus(text); });
}

void TransportCommon::postClientChange(std::optional<std::string> client) {
  std::lock_guard guard(callbackLock_);
  if (auto onClientChange = callbacks_.onClientChange) {
    asio::post(main_, [onClientChange, client] { onClientChange(client); });
  }
}

void TransportCommon::postCaptureStart(std::optional<std::string> client,
                                       capture::StreamConfig config) {
  std::lock_guard guard(callbackLock_);
  common::spawn(
      main_.get_executor(),
      [](TransportCallbacks callbacks, PrepareCapture prepare,
         std::weak_ptr<VideoStreamSource> streamerRef, std::weak_ptr<VideoStreamStats> stats,
         std::optional<std::string> text, capture::StreamConfig wanted) -> asio::awaitable<void> {
        if (text && callbacks.onClientChange) callbacks.onClientChange(text);
        if (callbacks.onConfig) callbacks.onConfig(wanted);
        if (auto streamer = streamerRef.lock()) streamer->setStreamStats(stats.lock());
        if (prepare) co_await prepare(wanted);
        if (auto streamer = streamerRef.lock()) streamer->start(wanted);
      }(callbacks_, prepareCapture_, streamer_, stats_, std::move(client), config));
}

void TransportCommon::postStreamerStop(bool resetStats) {
  std::lock_guard guard(callbackLock_);
  asio::post(main_, [streamerRef = streamer_, statsRef = stats_, resetStats] {
    if (auto streamer = streamerRef.lock()) streamer->stop();
    if (auto stats = statsRef.lock(); stats && resetStats) stats->reset();
  });
}

}  // namespace ferrowin::video
