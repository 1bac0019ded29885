#include "client/video/receiver_core.h"

#include <algorithm>

namespace ferrowin::client {

using namespace video;

namespace {
constexpr size_t kMaxTrackedGap = 2000;
constexpr size_t kMaxMissing = 4000;
constexpr size_t kSequencesPerRequest = (kMaxFragmentPayload - 2) / 4;  // 299: one datagram
}  // namespace

bool VideoReceiverCore::isOld(uint32_t frameId) const {
  return nextFrameId_ && static_cast<int32_t>(frameId - *nextFrameId_) < 0;
}

void VideoReceiverCore::onDatagram(ByteView bytes, double now) {
  auto parsed = parseDatagram(bytes);
  if (!parsed) {
    ++counters_.malformed;
    return;
  }
  ++counters_.datagrams;
  const VGVideoDatagramHeader& header = parsed->header;
  switch (static_cast<PacketType>(header.packetType)) {
    case PacketType::keepalive:
      ++counters_.keepalives;
      trackSequence(header.sequence, now);
      return;
    case PacketType::fragment:
      trackSequence(header.sequence, now);
      onFragment(header, parsed->payload, now);
      break;
    case PacketType::fecParity:
      if (!sawFec_) {
        sawFec_ = true;
        options_.requestRetransmissions = false;
        missing_.clear();
      }
      break;
    default:
      return;
  }
  for (Bytes& rebuilt : fec_.add(header, bytes)) {
    auto again = parseDatagram(rebuilt);
    if (!again) continue;
    ++counters_.recoveredByFec;
    trackSequence(again->header.sequence, now);
    onFragment(again->header, again->payload, now);
  }
  deliverReady(now);
}

void VideoReceiverCore::trackSequence(uint32_t sequence, double now) {
  if (!highestSequence_) {
    highestSequence_ = sequence;
    return;
  }
  const int32_t ahead = static_cast<int32_t>(sequence - *highestSequence_);
  if (ahead > 0) {
    if (options_.requestRetransmissions) {
      const uint32_t gap = static_cast<uint32_t>(ahead) - 1;
      for (uint32_t s = sequence - std::min<uint32_t>(gap, kMaxTrackedGap); s != sequence; ++s) {
        missing_.emplace(s, Missing{now, 0, 0});
      }
      while (missing_.size() > kMaxMissing) missing_.erase(missing_.begin());
    }
    highestSequence_ = sequence;
    return;
  }
  auto it = missing_.find(sequence);
  if (it == missing_.end()) return;
  if (it->second.attempts > 0) ++counters_.retransmitted;
  missing_.erase(it);
}

void VideoReceiverCore::onFragment(const VGVideoDatagramHeader& header, ByteView payload,
                                   double now) {
  const uint32_t frameId = header.frameId;
  if (header.fragCount == 0 || header.fragIndex >= header.fragCount || payload.empty() ||
      payload.size() > kMaxFragmentPayload ||
      (header.fragIndex + 1 < header.fragCount && payload.size() != kMaxFragmentPayload)) {
    ++counters_.malformed;
    return;
  }
  if (!nextFrameId_) nextFrameId_ = frameId;
  if (isOld(frameId)) {
    ++counters_.late;
    return;
  }
  if (ready_.contains(frameId)) {
    ++counters_.duplicates;
    return;
  }
  auto [it, created] = partials_.try_emplace(frameId);
  Partial& partial = it->second;
  if (created) {
    partial.fragCount = header.fragCount;
    partial.fragments.resize(header.fragCount);
    partial.present.resize(header.fragCount);
    partial.firstSeen = now;
  } else if (partial.fragCount != header.fragCount) {
    ++counters_.malformed;
    return;
  }
  if (partial.present[header.fragIndex]) {
    ++counters_.duplicates;
    return;
  }
  partial.present[header.fragIndex] = true;
  partial.fragments[header.fragIndex].assign(payload.begin(), payload.end());
  bufferedBytes_ += payload.size();
  if (++partial.received == partial.fragCount) {
    complete(frameId, partial);
    partials_.erase(it);
  }
  // A host that never finishes its messages must not grow the buffer without limit.
  while (bufferedBytes_ > options_.maxBufferedBytes && !partials_.empty()) {
    for (const Bytes& f : partials_.begin()->second.fragments) bufferedBytes_ -= f.size();
    partials_.erase(partials_.begin());
  }
}

void VideoReceiverCore::complete(uint32_t frameId, Partial& partial) {
  Bytes message;
  for (Bytes& fragment : partial.fragments) {
    bufferedBytes_ -= fragment.size();
    message.insert(message.end(), fragment.begin(), fragment.end());
  }
  auto header = parseMessageHeader(message);
  if (!header || header->length != message.size() - kMessageHeaderSize) {
    ++counters_.malformed;
    return;
  }
  ReceivedMessage received;
  received.kind = static_cast<MessageKind>(header->kind);
  received.flags = header->flags;
  received.pts = header->pts;
  received.frameId = frameId;
  received.payload.assign(message.begin() + kMessageHeaderSize, message.end());
  ready_.emplace(frameId, std::move(received));
}

void VideoReceiverCore::deliverReady(double now) {
  while (nextFrameId_) {
    auto it = ready_.find(*nextFrameId_);
    if (it == ready_.end()) break;
    ReceivedMessage& message = it->second;
    ++counters_.messages;
    counters_.payloadBytes += message.payload.size();
    if (message.kind == MessageKind::videoFrame) {
      ++counters_.frames;
      if (message.flags & kKeyframeFlag) ++counters_.keyframes;
    }
    delivered_.push_back(std::move(message));
    ready_.erase(it);
    ++*nextFrameId_;
  }
  if (ready_.empty()) {
    waitingSince_.reset();
  } else if (!waitingSince_) {
    waitingSince_ = now;
  }
}

void VideoReceiverCore::poll(double now) {
  if (!nextFrameId_) return;
  const bool blocked = waitingSince_ && now - *waitingSince_ >= options_.lossTimeout;
  auto next = partials_.find(*nextFrameId_);
  const bool stale = next != partials_.end() && now - next->second.firstSeen >= 3 * options_.lossTimeout;
  if (!blocked && !stale) return;
  // Skip to the oldest message that is ready (or just past the stale one); everything before it
  // is lost.
  uint32_t resume = *nextFrameId_ + 1;
  if (blocked) {
    resume = ready_.begin()->first;
    for (const auto& [id, message] : ready_) {
      if (static_cast<int32_t>(id - *nextFrameId_) < static_cast<int32_t>(resume - *nextFrameId_)) {
        resume = id;
      }
    }
  }
  counters_.lostMessages += resume - *nextFrameId_;
  for (auto it = partials_.begin(); it != partials_.end();) {
    if (static_cast<int32_t>(it->first - resume) < 0) {
      for (const Bytes& f : it->second.fragments) bufferedBytes_ -= f.size();
      it = partials_.erase(it);
    } else {
      ++it;
    }
  }
  nextFrameId_ = resume;
  waitingSince_.reset();
  deliverReady(now);
}

std::vector<std::vector<uint32_t>> VideoReceiverCore::dueRetransmissions(double now) {
  std::vector<std::vector<uint32_t>> requests;
  if (!options_.requestRetransmissions) return requests;
  const double retry = std::max(options_.minRetryInterval, 2 * roundTrip_);
  std::vector<uint32_t> due;
  for (auto it = missing_.begin(); it != missing_.end();) {
    Missing& m = it->second;
    const bool time = m.attempts == 0 ? now - m.detected >= options_.firstRequestDelay
                                      : now - m.lastRequest >= retry;
    if (!time) {
      ++it;
      continue;
    }
    if (m.attempts >= options_.maxAttempts) {
      ++counters_.gaveUp;
      it = missing_.erase(it);
      continue;
    }
    ++m.attempts;
    m.lastRequest = now;
    ++counters_.requested;
    due.push_back(it->first);
    ++it;
  }
  for (size_t at = 0; at < due.size(); at += kSequencesPerRequest) {
    const size_t end = std::min(due.size(), at + kSequencesPerRequest);
    requests.emplace_back(due.begin() + at, due.begin() + end);
  }
  return requests;
}

std::vector<ReceivedMessage> VideoReceiverCore::takeDelivered() {
  return std::exchange(delivered_, {});
}

}  // namespace ferrowin::client
