#pragma once
// The UDP video transport: one socket on the video port, a flow per remote address and port, one
// current client flow (the newest allowed one). Stream messages are framed, cut into fragments of
// at most 1200 bytes and sent with FEC parity (udp_fec) or kept for retransmission (udp_arq).
//
// Threads: receive work, flow state and timers run on "com.zavel.ferrowin.video.udp"; framing,
// fragmenting, FEC and sends on "com.zavel.ferrowin.video.udp.send"; callbacks to the video server
// on the main executor. start()/stop() and the setters may be called from any other thread.

#include <asio/ip/udp.hpp>
#include <asio/ip/v6_only.hpp>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <semaphore>

#include "common/runtime/clock.h"
#include "common/runtime/serial_queue.h"
#include "common/util/udp_batch.h"
#include "server/video/client_liveness.h"
#include "server/video/fec_sender.h"
#include "server/video/network_probe.h"
#include "server/video/replay_buffer.h"
#include "server/video/transport_common.h"

namespace ferrowin::video {

class VideoUDPTransport final : public TransportCommon,
                                public std::enable_shared_from_this<VideoUDPTransport> {
 public:
  /// `timers` (optional) replaces the real timers of the receive queue; tests pass a ManualClock
  /// and advance it on queue().
  static std::shared_ptr<VideoUDPTransport> create(
      asio::io_context& main, const common::Clock& clock = common::SteadyClock::instance(),
      common::TimerFactory* timers = nullptr);
  ~VideoUDPTransport() override;

  bool start(uint16_t port, std::weak_ptr<VideoStreamSource> streamer,
             std::weak_ptr<VideoStreamStats> stats, std::shared_ptr<VideoDiagnosticsGate> gate,
             TransportCallbacks callbacks) override;
  void stop() override;
  uint16_t localPort() const override;

  void setTransportMode(VideoTransportMode mode) { mode_ = mode; }
  VideoTransportMode transportMode() const { return mode_; }
  bool isRunning() const { return running_; }
  common::SerialQueue& queue() { return queue_; }
  common::SerialQueue& sendQueue() { return sendQueue_; }

 private:
  VideoUDPTransport(asio::io_context& main, const common::Clock& clock,
                    common::TimerFactory* timers);

  struct Flow {
    asio::ip::udp::endpoint remote;
    uint64_t id = 0;
  };

  // Receive queue.
  void stopOnQueue();
  void receiveNext();
  void onDatagram(const asio::ip::udp::endpoint& from, ByteView bytes);
  /// Makes `from` the current flow if it may be: an allowed new flow, or a replaced one whose
  /// datagram `bytes` is a valid hello.
  bool acceptFlow(const asio::ip::udp::endpoint& from, ByteView bytes);
  void handleHello(const VGVideoDatagramHeader& header, ByteView payload);
  void handleRetransmitRequest(ByteView payload);
  void handleProbeRequest();
  void startKeepalive();
  void stopProbe();
  void endFlow(uint64_t flowId);

  // Send queue.
  void queueMessage(MessageKind kind, uint8_t flags, uint64_t pts, Bytes payload) override;
  void sendMessage(MessageKind kind, uint8_t flags, uint64_t pts, const Bytes& payload);
  /// Hands `datagrams` to the kernel in order with as few system calls as it takes; one that does
  /// not fit the send buffer is dropped (FEC or a retransmission repairs it) and the rest still go.
  void sendBatch(const std::vector<ByteView>& datagrams);

  /// One datagram to the current client (or to `to`); false when there is none or the socket is gone.
  bool sendTo(ByteView datagram, const std::optional<asio::ip::udp::endpoint>& to = std::nullopt);

  common::SerialQueue queue_{"com.zavel.ferrowin.video.udp"};
  common::SerialQueue sendQueue_{"com.zavel.ferrowin.video.udp.send"};
  std::unique_ptr<common::TimerFactory> ownTimers_;
  common::TimerFactory& timers_;

  std::atomic<bool> running_{false};
  std::atomic<VideoTransportMode> mode_{VideoTransportMode::udpArq};
  std::atomic<uint32_t> nextSequence_{1};
  std::atomic<uint32_t> nextFrameId_{1};

  // Receive queue only.
  std::unique_ptr<asio::ip::udp::socket> socket_;
  common::UdpBatchReader reader_{65536};
  std::optional<Flow> client_;
  std::deque<asio::ip::udp::endpoint> replacedFlows_;
  uint64_t nextFlowId_ = 1;
  std::unique_ptr<common::RepeatingTimer> keepaliveTimer_;
  std::unique_ptr<VideoClientLiveness> liveness_;
  std::unique_ptr<NetworkProbeSender> probeSender_;

  // Read by the send paths on other threads.
  std::mutex socketLock_;
  int socketFd_ = -1;
  std::optional<asio::ip::udp::endpoint> remote_;

  VideoReplayBuffer replayBuffer_;
  VideoFECSender fecSender_;
  Bytes frameDatagrams_;  // send queue only: the fragment datagrams of the message being sent
  std::mutex probeTokenLock_;
  uint64_t probeToken_ = 0;
};

}  // namespace ferrowin::video
