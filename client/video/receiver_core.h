#pragma once
// The client's UDP receive logic without sockets: feed it every datagram from the host and the
// current time; it rebuilds lost fragments from FEC parity, reassembles stream messages, delivers
// them in order, and says which sequence numbers to ask the host to resend (UDP/ARQ).
//
// Ordering: messages are delivered by frame id. A missing message holds back the later ones until
// it completes or until later messages have waited `lossTimeout`; then it counts as lost.

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "client/video/fec_decoder.h"
#include "protocol/wire.h"

namespace ferrowin::client {

struct ReceivedMessage {
  video::MessageKind kind{};
  uint8_t flags = 0;
  uint64_t pts = 0;
  uint32_t frameId = 0;
  Bytes payload;
};

struct ReceiverCounters {
  uint64_t datagrams = 0;
  uint64_t messages = 0;
  uint64_t frames = 0;
  uint64_t keyframes = 0;
  uint64_t lostMessages = 0;
  uint64_t recoveredByFec = 0;
  uint64_t retransmitted = 0;  // requested datagrams that arrived
  uint64_t requested = 0;
  uint64_t gaveUp = 0;
  uint64_t duplicates = 0;
  uint64_t late = 0;  // fragments of messages already delivered or given up
  uint64_t malformed = 0;
  uint64_t keepalives = 0;
  uint64_t payloadBytes = 0;
};

class VideoReceiverCore {
 public:
  struct Options {
    bool requestRetransmissions = true;  // switched off once FEC parity is seen
    double lossTimeout = 1.0;
    double firstRequestDelay = 0.004;  // lets slightly reordered datagrams arrive first
    double minRetryInterval = 0.03;
    int maxAttempts = 5;
    size_t maxBufferedBytes = 64 * 1024 * 1024;
  };

  VideoReceiverCore() : VideoReceiverCore(Options{}) {}
  explicit VideoReceiverCore(Options options) : options_(options) {}

  /// A datagram of type 3, 5 or 10 from the host (other types are the shell's business).
  void onDatagram(ByteView bytes, double now);
  /// Sequences to request now, at most 299 per request (one datagram); empty when nothing is due.
  std::vector<std::vector<uint32_t>> dueRetransmissions(double now);
  /// Gives up on missing messages whose successors waited too long.
  void poll(double now);
  std::vector<ReceivedMessage> takeDelivered();

  void setRoundTrip(double seconds) { roundTrip_ = seconds; }
  const ReceiverCounters& counters() const { return counters_; }
  bool sawFec() const { return sawFec_; }

 private:
  struct Partial {
    uint16_t fragCount = 0;
    uint16_t received = 0;
    std::vector<Bytes> fragments;
    std::vector<bool> present;
    double firstSeen = 0;
  };
  struct Missing {
    double detected = 0;
    double lastRequest = 0;
    int attempts = 0;
  };

  void trackSequence(uint32_t sequence, double now);
  void onFragment(const video::VGVideoDatagramHeader& header, ByteView payload, double now);
  void complete(uint32_t frameId, Partial& partial);
  void deliverReady(double now);
  bool isOld(uint32_t frameId) const;

  Options options_;
  FecDecoder fec_;
  bool sawFec_ = false;
  double roundTrip_ = 0;

  std::optional<uint32_t> nextFrameId_;
  std::map<uint32_t, Partial> partials_;  // keyed by frame id offset from nextFrameId_
  std::map<uint32_t, ReceivedMessage> ready_;
  std::optional<double> waitingSince_;
  size_t bufferedBytes_ = 0;

  std::optional<uint32_t> highestSequence_;
  std::map<uint32_t, Missing> missing_;
  std::vector<ReceivedMessage> delivered_;
  ReceiverCounters counters_;
};

}  // namespace ferrowin::client
