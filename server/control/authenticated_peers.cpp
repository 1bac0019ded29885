#include "server/control/authenticated_peers.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "common/util/base64.h"
#include "common/util/files.h"
#include "common/util/json.h"
#include "common/util/log.h"
#include "common/util/random.h"
#include "server/control/p256.h"

namespace ferrowin::control {

using common::Json;

namespace {
constexpr size_t kNonceBytes = 32;
}

AuthenticatedPeers::AuthenticatedPeers(std::filesystem::path directory, const common::Clock& clock)
    : file_(std::move(directory) / "paired-clients.json"), clock_(clock) {
  load();
}

void AuthenticatedPeers::setOnChange(std::function<void()> onChange) {
  std::lock_guard guard(lock_);
  onChange_ = std::move(onChange);
}

std::vector<uint8_t> AuthenticatedPeers::issueChallenge(const std::string& address) {
  auto nonce = common::secureRandomBytes(kNonceBytes);
  const double now = clock_.now();
  std::lock_guard guard(lock_);
  // Addresses that never come back would otherwise keep their challenges for the life of the
  // process.
  std::erase_if(challenges_, [now](const auto& entry) { return entry.second.expires <= now; });
  challenges_[address] = Challenge{nonce, now + kChallengeLifetime};
  return nonce;
}

std::optional<std::vector<uint8_t>> AuthenticatedPeers::takeChallenge(const std::string& address) {
  const double now = clock_.now();
  std::lock_guard guard(lock_);
  auto it = challenges_.find(address);
  if (it == challenges_.end()) return std::nullopt;
  Challenge challenge = std::move(it->second);
  challenges_.erase(it);
  if (challenge.expires <= now) return std::nullopt;
  return std::move(challenge.nonce);
}

void AuthenticatedPeers::authorize(const std::string& keyId, const std::string& address) {
  {
    std::lock_guard guard(lock_);
    auto client = addressByClient_.find(keyId);
    auto bound = clientByAddress_.find(address);
    if (client != addressByClient_.end() && client->second == address &&
        bound != clientByAddress_.end() && bound->second == keyId)
      return;
    if (client != addressByClient_.end() && client->second != address)
      clientByAddress_.erase(client->second);
    if (bound != clientByAddress_.end() && bound->second != keyId)
      addressByClient_.erase(bound->second);
    addressByClient_[keyId] = address;
    clientByAddress_[address] = keyId;
  }
  notifyChange();
}

void AuthenticatedPeers::forgetAddress(const std::string& address) {
  {
    std::lock_guard guard(lock_);
    auto bound = clientByAddress_.find(address);
    if (bound == clientByAddress_.end()) return;
    auto client = addressByClient_.find(bound->second);
    if (client != addressByClient_.end() && client->second == address)
      addressByClient_.erase(client);
    clientByAddress_.erase(bound);
  }
  notifyChange();
}

bool AuthenticatedPeers::isAuthenticated(const std::string& address) const {
  std::lock_guard guard(lock_);
  return clientByAddress_.contains(address);
}

std::vector<std::string> AuthenticatedPeers::authenticatedAddresses() const {
  std::lock_guard guard(lock_);
  std::vector<std::string> addresses;
  for (const auto& entry : clientByAddress_) addresses.push_back(entry.first);
  return addresses;
}

std::optional<Credential> AuthenticatedPeers::credential(const std::string& keyId) const {
  std::lock_guard guard(lock_);
  auto it = credentials_.find(keyId);
  if (it == credentials_.end()) return std::nullopt;
  return it->second;
}

Expected<void, std::string> AuthenticatedPeers::storeCredential(const std::string& keyId,
                                                                 const Credential& credential,
                                                                 OnSaveFailure onFailure) {
  std::vector<DiskClient> snapshot;
  std::optional<Credential> previous;
  {
    std::lock_guard guard(lock_);
    if (auto it = credentials_.find(keyId); it != credentials_.end()) previous = it->second;
    credentials_[keyId] = credential;
    // std::map iterates in key order: the file lists clients sorted by keyId.
    for (const auto& [id, stored] : credentials_)
      snapshot.push_back(DiskClient{id, stored.publicKey, stored.counter});
  }
  auto saved = save(snapshot);
  if (!saved && onFailure == OnSaveFailure::undo) {
    std::lock_guard guard(lock_);
    // Unless another store has replaced it meanwhile.
    if (auto it = credentials_.find(keyId); it != credentials_.end() && it->second == credential) {
      if (previous) {
        it->second = *previous;
      } else {
        credentials_.erase(it);
      }
    }
  }
  return saved;
}

size_t AuthenticatedPeers::pendingChallengeCount() const {
  std::lock_guard guard(lock_);
  return challenges_.size();
}

void AuthenticatedPeers::notifyChange() {
  std::function<void()> callback;
  {
    std::lock_guard guard(lock_);
    callback = onChange_;
  }
  if (callback) callback();
}

void AuthenticatedPeers::load() {
  auto contents = common::readFile(file_);
  if (!contents) {
    if (contents.error().code != common::FileError::Code::notFound)
      common::serverLog("auth")->warn("Paired clients could not be read ({}); none are loaded",
                                      contents.error().description());
    return;
  }
  auto entries = decodePairedClients(*contents);
  if (!entries) {
    // The next pairing rewrites the file: keep what was there for a person to look at.
    const std::string copy = file_.string() + ".corrupt";
    auto kept = common::writeFileAtomically(copy, *contents, 0600);
    common::serverLog("auth")->warn(
        "{} is not a paired-clients file ({}); {}; no client is paired", file_.string(),
        entries.error(),
        kept ? "kept as " + copy : "a copy could not be kept: " + kept.error().description());
    return;
  }

  std::lock_guard guard(lock_);
  for (auto& entry : *entries) {
    auto key = common::base64Decode(entry.publicKey);
    if (!key) continue;
    if (p256::isPublicKey(*key)) {
      credentials_[entry.keyId] = Credential{std::move(*key), entry.counter};
    } else {
      credentials_.erase(entry.keyId);
    }
  }
}

Expected<void, std::string> AuthenticatedPeers::save(const std::vector<DiskClient>& clients) const {
  std::vector<PairedClientEntry> entries;
  for (const auto& client : clients)
    entries.push_back({client.keyId, common::base64Encode(client.publicKey), client.counter});
  auto written = common::writeFileAtomically(file_, encodePairedClients(entries), 0600);
  if (written) return {};
  common::serverLog("auth")->error("Paired clients could not be saved: {}",
                                   written.error().description());
  return make_unexpected(written.error().description());
}

Expected<std::vector<PairedClientEntry>, std::string> decodePairedClients(
    const std::string& contents) {
  auto parsed = common::parseJson(contents);
  if (!parsed) return make_unexpected(parsed.error().description());
  common::JsonReader file(*parsed);
  const auto clients = file.requiredArray<Json>("clients");
  if (!file.ok()) return make_unexpected(file.error()->description());
  // One malformed entry makes the whole file undecodable, exactly as a strict decoder would.
  std::vector<PairedClientEntry> entries;
  for (const auto& item : clients) {
    common::JsonReader client(item);
    PairedClientEntry entry;
    entry.keyId = client.required<std::string>("keyId");
    entry.publicKey = client.required<std::string>("publicKey");
    entry.counter = client.required<uint32_t>("counter");
    if (!client.ok()) return make_unexpected("clients: " + client.error()->description());
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::string encodePairedClients(const std::vector<PairedClientEntry>& entries) {
  Json list = Json::array();
  for (const auto& entry : entries)
    list.push_back(
        Json{{"keyId", entry.keyId}, {"publicKey", entry.publicKey}, {"counter", entry.counter}});
  return common::encodeJson(Json{{"clients", list}});
}

bool pairEveryConnectionValue(const char* value) {
  if (!value) return false;
  std::string text(value);
  const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
  text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), isSpace));
  text.erase(std::find_if_not(text.rbegin(), text.rend(), isSpace).base(), text.end());
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text == "1" || text == "true" || text == "yes";
}

bool pairEveryConnection() {
  static const bool value = pairEveryConnectionValue(std::getenv("FERROWIN_PAIR_EVERY_CONNECTION"));
  return value;
}

}  // namespace ferrowin::control
