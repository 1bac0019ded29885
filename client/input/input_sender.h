#pragma once
// One UDP socket for a client's input: every datagram leaves from it, so the helper knows it as a
// single connection and sends rumble back to it.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>

#include "client/input/input_datagrams.h"
#include "common/util/expected.h"

namespace ferrowin::client {

class InputSender {
 public:
  /// Resolves `host` and opens an unbound socket of its family (the kernel picks the port on the
  /// first send).
  [[nodiscard]] static Expected<InputSender, InputError> open(const std::string& host,
                                                              uint16_t port);
  InputSender(InputSender&& other) noexcept;
  InputSender& operator=(InputSender&&) = delete;
  ~InputSender();

  [[nodiscard]] Expected<void, InputError> send(std::span<const uint8_t> datagram);

  /// Reads datagrams for `seconds` and hands every rumble datagram to `onRumble`; anything else
  /// is ignored. Returns the number of rumble datagrams seen.
  size_t listenForRumble(double seconds,
                         const std::function<void(const RumbleDatagram&)>& onRumble);

  uint16_t localPort() const;

 private:
  InputSender(int fd, std::vector<uint8_t> address);
  int fd_ = -1;
  std::vector<uint8_t> address_;  // the destination sockaddr
};

/// The next input sequence number, kept in `<stateDir>/input-sequence` so that successive runs
/// keep counting up (the helper drops a sequence at or a little below the last one it applied).
/// With no readable counter the sequence is 0, which the helper takes as a client restart.
[[nodiscard]] Expected<uint32_t, InputError> takeInputSequence(
    const std::filesystem::path& stateDir);

}  // namespace ferrowin::client
