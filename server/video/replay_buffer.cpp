#include "server/video/replay_buffer.h"

#include <algorithm>

namespace ferrowin::video {

void VideoReplayBuffer::store(uint32_t sequence, Bytes datagram, double now) {
  std::lock_guard guard(lock_);
  entries_.push_back({sequence, std::move(datagram), now});
  // Timestamps only grow, so the entries too old to keep are a prefix; std::erase_if keeps the
  // rule exact even if a caller's clock stepped back.
  std::erase_if(entries_, [&](const Entry& e) { return e.timestamp < now - kMaxAgeSec; });
  while (entries_.size() > kMaxEntries) entries_.pop_front();
}

std::optional<Bytes> VideoReplayBuffer::lookup(uint32_t sequence) const {
  std::lock_guard guard(lock_);
  auto it = std::find_if(entries_.begin(), entries_.end(),
                         [&](const Entry& e) { return e.sequence == sequence; });
  if (it == entries_.end()) return std::nullopt;
  return it->datagram;
}

void VideoReplayBuffer::clear() {
  std::lock_guard guard(lock_);
  entries_.clear();
}

size_t VideoReplayBuffer::size() const {
  std::lock_guard guard(lock_);
  return entries_.size();
}

}  // namespace ferrowin::video
