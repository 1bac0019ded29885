#include "client/attest/dev_authority.h"

#include <fmt/format.h>

#include <ctime>

#include "client/attest/cbor_writer.h"
#include "common/util/base64.h"
#include "common/util/files.h"
#include "common/util/json.h"

namespace ferrowin::client::attest {

namespace fs = std::filesystem;

namespace {

constexpr std::time_t kDay = 24 * 60 * 60;
constexpr char kDevelopmentAaguid[] = "appattestdevelop";

unexpected<AuthorityError> fail(std::string message) {
  return make_unexpected(AuthorityError{std::move(message)});
}

Expected<std::string, AuthorityError> readText(const fs::path& path) {
  auto text = common::readFile(path);
  if (!text) return fail(text.error().description());
  return *text;
}

Expected<void, AuthorityError> writeText(const fs::path& path, const std::string& text,
                                         mode_t mode) {
  auto written = common::writeFileAtomically(path, text, mode);
  if (!written) return fail(written.error().description());
  return {};
}

std::vector<uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

}  // namespace

Expected<DevAttestAuthority, AuthorityError> DevAttestAuthority::open(const fs::path& stateDir,
                                                                      bool create) {
  const fs::path dir = stateDir / "dev-ca";
  DevAttestAuthority authority;
  authority.rootPath_ = dir / "root.pem";
  const fs::path intermediatePath = dir / "intermediate.pem";
  const fs::path intermediateKeyPath = dir / "intermediate-key.pem";

  std::error_code ec;
  if (!fs::exists(authority.rootPath_, ec)) {
    if (!create)
      return fail("no development CA in " + dir.string() + " (run: ferrowin-client dev-ca init)");
    // Root first on disk last: a half-made CA (crash between writes) has no root.pem and is
    // simply made again.
    KeyPtr rootKey = generateKey("secp384r1");
    KeyPtr intermediateKey = generateKey("secp384r1");
    if (!rootKey || !intermediateKey) return fail("could not generate CA keys");
    const std::time_t now = std::time(nullptr);
    CertPtr root = makeCertificate({.commonName = "Ferrowin Development App Attestation Root CA",
                                    .subjectKey = rootKey.get(),
                                    .certificateAuthority = true,
                                    .notBefore = now - kDay,
                                    .notAfter = now + 20 * 365 * kDay});
    if (!root) return fail("could not make the root certificate");
    CertPtr intermediate =
        makeCertificate({.commonName = "Ferrowin Development App Attestation CA 1",
                         .subjectKey = intermediateKey.get(),
                         .issuer = root.get(),
                         .issuerKey = rootKey.get(),
                         .certificateAuthority = true,
                         .notBefore = now - kDay,
                         .notAfter = now + 20 * 365 * kDay});
    if (!intermediate) return fail("could not make the intermediate certificate");
    for (auto [path, text, mode] : {
             std::tuple{dir / "root-key.pem", privateKeyPem(rootKey.get()), mode_t{0600}},
             std::tuple{intermediateKeyPath, privateKeyPem(intermediateKey.get()), mode_t{0600}},
             std::tuple{intermediatePath, certificatePem(intermediate.get()), mode_t{0644}},
             std::tuple{authority.rootPath_, certificatePem(root.get()), mode_t{0644}},
         }) {
      auto written = writeText(path, text, mode);
      if (!written) return make_unexpected(written.error());
    }
  }

  auto rootPem = readText(authority.rootPath_);
  auto intermediatePem = readText(intermediatePath);
  auto keyPem = readText(intermediateKeyPath);
  if (!rootPem) return make_unexpected(rootPem.error());
  if (!intermediatePem) return make_unexpected(intermediatePem.error());
  if (!keyPem) return make_unexpected(keyPem.error());
  authority.root_ = parseCertificatePem(*rootPem);
  authority.intermediate_ = parseCertificatePem(*intermediatePem);
  authority.intermediateKey_ = parsePrivateKeyPem(*keyPem);
  if (!authority.root_ || !authority.intermediate_ || !authority.intermediateKey_)
    return fail("the development CA in " + dir.string() + " is damaged");
  return authority;
}

std::vector<uint8_t> makeAttestationAuthData(std::string_view appId,
                                             std::span<const uint8_t> credentialId,
                                             std::span<const uint8_t> publicKey) {
  std::vector<uint8_t> out = sha256(bytesOf(appId));
  out.push_back(0x40);                  // attested credential data present
  out.insert(out.end(), {0, 0, 0, 0});  // counter 0
  out.insert(out.end(), kDevelopmentAaguid, kDevelopmentAaguid + 16);
  out.push_back(static_cast<uint8_t>(credentialId.size() >> 8));
  out.push_back(static_cast<uint8_t>(credentialId.size()));
  out.insert(out.end(), credentialId.begin(), credentialId.end());
  // COSE_Key {1: 2 (EC2), 3: -7 (ES256), -1: 1 (P-256), -2: x, -3: y}
  cbor::writeMapHeader(out, 5);
  cbor::writeUnsigned(out, 1);
  cbor::writeUnsigned(out, 2);
  cbor::writeUnsigned(out, 3);
  cbor::writeNegative(out, 6);
  cbor::writeNegative(out, 0);
  cbor::writeUnsigned(out, 1);
  cbor::writeNegative(out, 1);
  cbor::writeBytes(out, publicKey.subspan(1, 32));
  cbor::writeNegative(out, 2);
  cbor::writeBytes(out, publicKey.subspan(33, 32));
  return out;
}

std::vector<uint8_t> makeAttestationObject(std::span<const uint8_t> credentialCertificate,
                                           std::span<const uint8_t> intermediateCertificate,
                                           std::span<const uint8_t> authData) {
  std::vector<uint8_t> object;
  cbor::writeMapHeader(object, 3);
  cbor::writeText(object, "fmt");
  cbor::writeText(object, "apple-appattest");
  cbor::writeText(object, "attStmt");
  cbor::writeMapHeader(object, 2);
  cbor::writeText(object, "x5c");
  cbor::writeArrayHeader(object, 2);
  cbor::writeBytes(object, credentialCertificate);
  cbor::writeBytes(object, intermediateCertificate);
  cbor::writeText(object, "receipt");
  cbor::writeBytes(object, {});
  cbor::writeText(object, "authData");
  cbor::writeBytes(object, authData);
  return object;
}

Expected<DevAttestAuthority::Attestation, AuthorityError> DevAttestAuthority::attest(
    std::span<const uint8_t> clientDataHash, std::string_view appId, const AttestKey* reuse) const {
  KeyPtr key = reuse ? parsePrivateKeyPem(reuse->privateKeyPem) : generateKey("prime256v1");
  if (!key)
    return fail(reuse ? "the stored App Attest key is damaged"
                      : "could not generate the App Attest key");
  const std::vector<uint8_t> publicKey = publicKeyX963(key.get());
  if (publicKey.size() != 65) return fail("could not read the App Attest public key");
  const std::vector<uint8_t> credentialId = sha256(publicKey);
  const std::vector<uint8_t> authData = makeAttestationAuthData(appId, credentialId, publicKey);

  std::string commonName;
  for (uint8_t b : credentialId) commonName += fmt::format("{:02x}", b);
  const std::time_t now = std::time(nullptr);
  CertPtr credential = makeCertificate({.commonName = commonName,
                                        .subjectKey = key.get(),
                                        .issuer = intermediate_.get(),
                                        .issuerKey = intermediateKey_.get(),
                                        .notBefore = now - kDay,
                                        .notAfter = now + 3 * kDay,
                                        .attestationNonce = sha256(authData, clientDataHash)});
  if (!credential) return fail("could not make the credential certificate");

  return Attestation{
      {common::base64Encode(credentialId), privateKeyPem(key.get()), reuse ? reuse->counter : 0},
      makeAttestationObject(certificateDer(credential.get()), certificateDer(intermediate_.get()),
                            authData)};
}

Expected<std::vector<uint8_t>, AuthorityError> makeAssertion(
    AttestKey& key, std::span<const uint8_t> clientDataHash, std::string_view appId) {
  KeyPtr privateKey = parsePrivateKeyPem(key.privateKeyPem);
  if (!privateKey) return fail("the stored App Attest key is damaged");
  if (key.counter == UINT32_MAX) return fail("the App Attest key's counter is exhausted");
  const uint32_t counter = key.counter + 1;

  std::vector<uint8_t> authenticatorData = sha256(bytesOf(appId));
  authenticatorData.push_back(0x40);
  for (int shift = 24; shift >= 0; shift -= 8)
    authenticatorData.push_back(static_cast<uint8_t>(counter >> shift));
  const std::vector<uint8_t> nonce = sha256(authenticatorData, clientDataHash);
  const std::vector<uint8_t> signature = signSha256(privateKey.get(), nonce);
  if (signature.empty()) return fail("could not sign the assertion");

  std::vector<uint8_t> object;
  cbor::writeMapHeader(object, 2);
  cbor::writeText(object, "signature");
  cbor::writeBytes(object, signature);
  cbor::writeText(object, "authenticatorData");
  cbor::writeBytes(object, authenticatorData);
  key.counter = counter;
  return object;
}

Expected<AttestKey, AuthorityError> loadAttestKey(const fs::path& stateDir) {
  const fs::path path = stateDir / "attest-key.json";
  auto text = common::readFile(path);
  if (!text) {
    if (text.error().code == common::FileError::Code::notFound)
      return fail("not paired yet (no " + path.string() + ")");
    return fail(text.error().description());
  }
  auto json = common::parseJson(*text);
  if (!json) return fail(path.string() + ": " + json.error().description());
  common::JsonReader reader(*json);
  AttestKey key{reader.required<std::string>("keyId"), reader.required<std::string>("privateKey"),
                reader.required<uint32_t>("counter")};
  if (!reader.ok()) return fail(path.string() + ": " + reader.error()->description());
  return key;
}

Expected<void, AuthorityError> saveAttestKey(const fs::path& stateDir, const AttestKey& key) {
  common::Json json = {
      {"counter", key.counter}, {"keyId", key.keyId}, {"privateKey", key.privateKeyPem}};
  return writeText(stateDir / "attest-key.json", common::encodeJson(json), 0600);
}

}  // namespace ferrowin::client::attest
