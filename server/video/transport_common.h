#pragma once
// What the UDP and TCP transports share: the session the video server hands over in start()
// (streamer, statistics, diagnostics gate, callbacks), the allowlist, the four send operations
// (each only hands a framed job to the transport's send queue), and the hops to the main executor.

#include <asio/io_context.hpp>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "common/runtime/clock.h"
#include "server/video/transport_backend.h"

namespace ferrowin::video {

/// Owns a transport. A handler holding the transport may drop the last reference on one of the
/// transport's own queues, which cannot join themselves: such a release finishes on a short-lived
/// thread instead.
template <class Transport>
std::shared_ptr<Transport> ownTransport(Transport* transport) {
  return std::shared_ptr<Transport>(transport, [](Transport* t) {
    if (t->queue().isCurrent() || t->sendQueue().isCurrent()) {
      std::thread([t] { delete t; }).detach();
    } else {
      delete t;
    }
  });
}

class TransportCommon : public VideoTransportBackend {
 public:
  void sendParameterSets(const std::vector<Bytes>& blobs, int width, int height) override;
  /// Records the send time of `pts` in the statistics before queueing.
  void sendEncoded(Bytes data, bool keyframe, uint64_t pts) override;
  void sendAudioConfig(Bytes data) override;
  void sendAudio(Bytes data, uint64_t pts) override;
  void setPrepareCapture(PrepareCapture prepare) override;
  void setAllowPeer(AllowPeer allow) override;
  void setOnPeerDisconnected(PeerDisconnected handler) override;

 protected:
  TransportCommon(asio::io_context& main, const common::Clock& clock)
      : main_(main), clock_(clock) {}

  /// Frames the message and sends it on the send queue, in call order.
  virtual void queueMessage(MessageKind kind, uint8_t flags, uint64_t pts, Bytes payload) = 0;

  /// What every start() does first: end the running session, keep the new one's collaborators,
  /// and refuse port 0 ("Invalid port"). False when the start cannot go on.
  bool beginSession(uint16_t port, std::weak_ptr<VideoStreamSource> streamer,
                    std::weak_ptr<VideoStreamStats> stats,
                    std::shared_ptr<VideoDiagnosticsGate> gate, TransportCallbacks callbacks);
  /// Reports a status text at once, on the calling thread (start() runs on the main executor).
  void statusNow(const std::string& text);
  std::shared_ptr<VideoStreamStats> currentStats();
  bool diagnosticsOn();

  /// The allowlist; no predicate installed refuses every peer.
  bool isAllowed(const std::string& peerAddress);
  void reportPeerDisconnected(const std::string& peerAddress);

  // Main-executor hops. Each takes the callbacks of the moment, so a later start() that installs
  // new ones does not hear of an earlier session.
  void postStatus(const std::string& text);
  void postClientChange(std::optional<std::string> client);
  /// A client's configuration: onClientChange (when given), onConfig, the streamer's statistics,
  /// prepareCapture (awaited), then the streamer's start.
  void postCaptureStart(std::optional<std::string> client, capture::StreamConfig config);
  /// Stops the streamer and, for a client that has gone, resets the statistics.
  void postStreamerStop(bool resetStats);
  /// A client takes the place of another while the stream goes on: until the streamer's next run
  /// sends its parameter sets (and audio configuration), the frames and audio packets of the run
  /// before are dropped, so the new client never gets a frame it cannot decode.
  void holdUntilNewStream();

  asio::io_context& main_;
  const common::Clock& clock_;

 private:
  std::mutex callbackLock_;
  std::weak_ptr<VideoStreamSource> streamer_;
  std::weak_ptr<VideoStreamStats> stats_;
  std::shared_ptr<VideoDiagnosticsGate> gate_;
  TransportCallbacks callbacks_;
  PrepareCapture prepareCapture_;

  std::atomic<bool> videoHeld_ = false;
  std::atomic<bool> audioHeld_ = false;

  std::mutex peerLock_;
  AllowPeer allowPeer_;
  PeerDisconnected onPeerDisconnected_;
};

}  // namespace ferrowin::video
