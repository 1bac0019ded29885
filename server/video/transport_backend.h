#pragma once
// The interface both video transports implement (UDP with FEC or retransmission, and TCP). The video
// server owns both and forwards the streamer's output to the active one.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "protocol/stream_config.h"
#include "protocol/wire.h"
#include "server/video/stream_source.h"
#include "server/video/stream_stats.h"

namespace ferrowin::video {

struct TransportCallbacks {
  /// Listener status texts. Those produced inside start() arrive synchronously; later ones on the
  /// main executor.
  std::function<void(const std::string&)> onStatus;
  /// The client's endpoint text when a flow is accepted (and again on its hello); none when it ends.
  /// Main executor.
  std::function<void(const std::optional<std::string>&)> onClientChange;
  /// A valid configuration from the client. Main executor.
  std::function<void(const capture::StreamConfig&)> onConfig;
};

/// Awaited on the main executor before the streamer starts (a virtual display gets ready).
using PrepareCapture = std::function<asio::awaitable<void>(const capture::StreamConfig&)>;
/// Whether a peer address text (see peer_address.h) may stream. Called on the transport's queue.
using AllowPeer = std::function<bool(const std::string& peerAddressText)>;
using PeerDisconnected = std::function<void(const std::string& peerAddressText)>;

class VideoTransportBackend {
 public:
  virtual ~VideoTransportBackend() = default;

  /// Main executor. Returns whether the listener was created.
  virtual bool start(uint16_t port, std::weak_ptr<VideoStreamSource> streamer,
                     std::weak_ptr<VideoStreamStats> stats,
                     std::shared_ptr<VideoDiagnosticsGate> gate, TransportCallbacks callbacks) = 0;
  virtual void stop() = 0;

  // Each send only queues the message on the transport's send queue; the caller never blocks.
  virtual void sendParameterSets(const std::vector<Bytes>& blobs, int width, int height) = 0;
  // The data is taken by value, so a caller that moves it in hands it over without a copy.
  virtual void sendEncoded(Bytes data, bool keyframe, uint64_t pts) = 0;
  virtual void sendAudioConfig(Bytes data) = 0;
  virtual void sendAudio(Bytes data, uint64_t pts) = 0;

  virtual void setPrepareCapture(PrepareCapture prepare) = 0;
  virtual void setAllowPeer(AllowPeer allow) = 0;
  virtual void setOnPeerDisconnected(PeerDisconnected handler) = 0;
  /// The bound port after start() (useful when started on an ephemeral port), else 0.
  virtual uint16_t localPort() const = 0;
};

}  // namespace ferrowin::video
