#pragma once
// The client addresses that may send input, as the host last wrote them. Empty until then, and an
// empty list admits nobody. Thread-safe: the stdin reader replaces it, the UDP queue asks it.

#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace ferrowin::inputhelper {

class PeerAllowlist {
 public:
  void replace(const std::vector<std::string>& peers) {
    std::set<std::string> fresh(peers.begin(), peers.end());
    std::lock_guard guard(lock_);
    peers_.swap(fresh);
  }
  bool contains(const std::string& host) const {
    std::lock_guard guard(lock_);
    return peers_.contains(host);
  }

 private:
  mutable std::mutex lock_;
  std::set<std::string> peers_;
};

}  // namespace ferrowin::inputhelper
