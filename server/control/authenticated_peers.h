#pragma once
// Who the host trusts: the one-to-one binding between client App Attest key ids and peer address
// texts, the pending challenges, and the remembered credentials ("paired-clients.json").
//
// Thread-safe: the control routes (main executor) and the video transports' queues share it.
// Every operation holds the lock for its map work only; `onChange` and file writes run after the
// lock is released, so the callback may call back into the store.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/runtime/clock.h"
#include "common/util/expected.h"

namespace ferrowin::control {

struct Credential {
  std::vector<uint8_t> publicKey;  // P-256, X9.63 uncompressed (65 bytes)
  uint32_t counter = 0;            // last accepted App Attest sign counter
  bool operator==(const Credential&) const = default;
};

class AuthenticatedPeers {
 public:
  static constexpr double kChallengeLifetime = 180.0;

  /// Loads "paired-clients.json" from `directory` (the host's data folder). `clock` must outlive
  /// the store.
  AuthenticatedPeers(std::filesystem::path directory, const common::Clock& clock);

  /// Called after every change of the address bindings, on the changing thread, without the lock.
  void setOnChange(std::function<void()> onChange);

  /// 32 fresh random bytes, valid for 180 s, replacing any pending challenge of `address`.
  std::vector<uint8_t> issueChallenge(const std::string& address);
  /// Removes the pending challenge of `address`; its nonce when it has not expired.
  std::optional<std::vector<uint8_t>> takeChallenge(const std::string& address);

  /// Binds `keyId` and `address` to each other, dropping their earlier partners.
  void authorize(const std::string& keyId, const std::string& address);
  void forgetAddress(const std::string& address);
  bool isAuthenticated(const std::string& address) const;
  /// Unsorted.
  std::vector<std::string> authenticatedAddresses() const;

  std::optional<Credential> credential(const std::string& keyId) const;
  /// What a credential whose file cannot be written becomes.
  enum class OnSaveFailure {
    keep,  // stays in memory for this run (a counter that goes up)
    undo,  // is taken back, so the host trusts only what a restart would load (a new pairing)
  };
  /// Stores the credential and rewrites "paired-clients.json". A failed write is logged and
  /// returned (its description).
  Expected<void, std::string> storeCredential(const std::string& keyId,
                                              const Credential& credential,
                                              OnSaveFailure onFailure = OnSaveFailure::keep);

  size_t pendingChallengeCount() const;

 private:
  struct Challenge {
    std::vector<uint8_t> nonce;
    double expires = 0;
  };
  struct DiskClient {
    std::string keyId;
    std::vector<uint8_t> publicKey;
    uint32_t counter = 0;
  };

  void load();
  Expected<void, std::string> save(const std::vector<DiskClient>& clients) const;
  void notifyChange();

  const std::filesystem::path file_;
  const common::Clock& clock_;
  mutable std::mutex lock_;
  std::map<std::string, std::string> addressByClient_;
  std::map<std::string, std::string> clientByAddress_;
  std::map<std::string, Challenge> challenges_;
  std::map<std::string, Credential> credentials_;
  std::function<void()> onChange_;
};

/// One entry of "paired-clients.json" as stored (the public key still as its Base64 text).
struct PairedClientEntry {
  std::string keyId;
  std::string publicKey;
  uint32_t counter = 0;
};
/// The file's entries in file order, or why it is not a paired-clients file.
Expected<std::vector<PairedClientEntry>, std::string> decodePairedClients(
    const std::string& contents);
/// Compact JSON {"clients": [...]}, the entries in the order given.
std::string encodePairedClients(const std::vector<PairedClientEntry>& entries);

/// "FERROWIN_PAIR_EVERY_CONNECTION" is "1", "true" or "yes" (trimmed, any letter case). Read once.
bool pairEveryConnection();
/// The same rule applied to a given value (nullptr: no variable).
bool pairEveryConnectionValue(const char* value);

}  // namespace ferrowin::control
