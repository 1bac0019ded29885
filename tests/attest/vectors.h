#pragma once
// The real App Attest objects in data/ (public samples made by Apple's service), and a CBOR
// encoder for tests that alter them.

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "client/attest/cbor_writer.h"
#include "common/util/base64.h"
#include "common/util/files.h"
#include "common/util/json.h"
#include "server/control/attest/cbor.h"

namespace ferrowin::control::attest::testing {

inline std::vector<uint8_t> fromHex(const std::string& hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

inline common::Json loadVectorJson(const std::string& name) {
  auto text = common::readFile(std::string(FERROWIN_SOURCE_DIR) + "/tests/attest/data/" + name);
  if (!text) return {};
  return common::parseJson(*text).value_or(common::Json{});
}

struct AttestationVector {
  std::string appId;
  std::string keyId;
  std::vector<uint8_t> clientDataHash;
  std::time_t verifyAt = 0;
  std::time_t validUntil = 0;  // the last second OpenSSL accepts
  std::vector<uint8_t> object;
  std::vector<uint8_t> publicKey;
};

inline AttestationVector attestationVector(const std::string& name) {
  const auto j = loadVectorJson(name);
  return {j["app_id"],
          j["key_id_base64"],
          fromHex(j["client_data_hash_hex"]),
          j["verify_at_epoch"].get<std::time_t>(),
          j["chain_valid_attime_range_epoch"][1].get<std::time_t>(),
          *common::base64Decode(j["attestation_object_base64"].get<std::string>()),
          fromHex(j["derived"]["public_key_x962_hex"])};
}

struct AssertionVector {
  std::string appId;
  std::vector<uint8_t> publicKey;
  std::vector<uint8_t> clientDataHash;
  uint32_t previousCounter = 0;
  std::vector<uint8_t> object;
};

inline AssertionVector assertionVector(const std::string& name) {
  const auto j = loadVectorJson(name);
  return {j["app_id"], fromHex(j["public_key_x962_hex"]),
          *common::base64Decode(j["client_data_hash_base64"].get<std::string>()),
          j["previous_counter"].get<uint32_t>(),
          *common::base64Decode(j["assertion_base64"].get<std::string>())};
}

/// Encodes bytes, text, arrays and maps (what App Attest objects hold).
inline void encode(const cbor::Value& value, std::vector<uint8_t>& out) {
  namespace w = client::attest::cbor;
  if (auto b = value.bytes()) {
    w::writeBytes(out, *b);
  } else if (auto t = value.text()) {
    w::writeText(out, *t);
  } else if (auto a = value.array()) {
    w::writeArrayHeader(out, a->size());
    for (const auto& item : *a) encode(item, out);
  } else if (auto m = value.map()) {
    w::writeMapHeader(out, m->size());
    for (const auto& [key, item] : *m) {
      w::writeText(out, key);
      encode(item, out);
    }
  } else {
    w::writeUnsigned(out, 0);
  }
}

inline std::vector<uint8_t> encode(const cbor::Value& value) {
  std::vector<uint8_t> out;
  encode(value, out);
  return out;
}

inline cbor::Value decodeOrDie(const std::vector<uint8_t>& bytes) { return *cbor::decode(bytes); }

inline cbor::Value& member(cbor::Value& map, const std::string& key) {
  return std::get<cbor::Map>(map.content)[key];
}

}  // namespace ferrowin::control::attest::testing
