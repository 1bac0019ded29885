#include "client/attest/dev_authority.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/util/base64.h"
#include "common/util/files.h"
#include "server/control/attest/app_attest.h"
#include "server/control/attest/apple_root_ca.h"
#include "server/control/attest/cbor.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::client::attest {
namespace {

using control::attest::AppAttestVerifier;
using control::attest::AppAttestVerifyError;

mode_t modeOf(const std::filesystem::path& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 0777;
}

class DevAuthority : public ::testing::Test {
 protected:
  ferrowin::testing::TempDir dir;
  DevAttestAuthority authority = DevAttestAuthority::open(dir.path(), true).value();
  std::vector<uint8_t> hash = sha256(std::vector<uint8_t>{'c', 'h', 'a', 'l'});

  AppAttestVerifier verifier(bool withDevRoot) {
    std::vector<std::string> anchors = {control::attest::kAppleAppAttestationRootCaPem};
    if (withDevRoot) anchors.push_back(authority.rootCertificatePem());
    return AppAttestVerifier(
        {std::string(kClientAppId), anchors, [] { return std::time(nullptr); }});
  }
};

TEST_F(DevAuthority, KeepsItsCaInTheStateDirectory) {
  for (const char* key : {"dev-ca/root-key.pem", "dev-ca/intermediate-key.pem"})
    EXPECT_EQ(modeOf(dir / key), 0600u) << key;
  EXPECT_EQ(authority.rootCertificatePath(), dir / "dev-ca/root.pem");
  EXPECT_TRUE(std::filesystem::exists(dir / "dev-ca/intermediate.pem"));
  auto reopened = DevAttestAuthority::open(dir.path(), false);
  ASSERT_TRUE(reopened) << reopened.error().description();
  EXPECT_EQ(reopened->rootCertificatePem(), authority.rootCertificatePem());

  ferrowin::testing::TempDir empty;
  auto missing = DevAttestAuthority::open(empty.path(), false);
  ASSERT_FALSE(missing);
  EXPECT_NE(missing.error().description().find("dev-ca init"), std::string::npos);
  std::filesystem::remove(dir / "dev-ca/intermediate-key.pem");
  EXPECT_FALSE(DevAttestAuthority::open(dir.path(), false));
}

TEST_F(DevAuthority, AttestationVerifiesOnlyWithTheDevelopmentRoot) {
  auto attestation = authority.attest(hash);
  ASSERT_TRUE(attestation) << attestation.error().description();
  auto key = verifier(true).verifyAttestation(attestation->object, attestation->key.keyId, hash);
  ASSERT_TRUE(key) << description(key.error());
  EXPECT_EQ(key->counter, 0u);
  EXPECT_EQ(key->publicKey,
            publicKeyX963(parsePrivateKeyPem(attestation->key.privateKeyPem).get()));
  EXPECT_EQ(
      verifier(false).verifyAttestation(attestation->object, attestation->key.keyId, hash).error(),
      AppAttestVerifyError::untrusted);
  // The production verifier knows the App ID too; only the anchor is missing.
  EXPECT_EQ(AppAttestVerifier::production()
                .verifyAttestation(attestation->object, attestation->key.keyId, hash)
                .error(),
            AppAttestVerifyError::untrusted);
  EXPECT_TRUE(AppAttestVerifier::production(authority.rootCertificatePem())
                  .verifyAttestation(attestation->object, attestation->key.keyId, hash));
}

TEST_F(DevAuthority, AssertionsCountUpAndVerifyWithTheAttestedKey) {
  auto attestation = authority.attest(hash).value();
  auto attested =
      verifier(true).verifyAttestation(attestation.object, attestation.key.keyId, hash).value();
  AttestKey key = attestation.key;
  uint32_t stored = attested.counter;
  for (uint32_t expected = 1; expected <= 3; ++expected) {
    auto assertion = makeAssertion(key, hash);
    ASSERT_TRUE(assertion);
    EXPECT_EQ(key.counter, expected);
    auto counter = verifier(true).verifyAssertion(*assertion, attested.publicKey, stored, hash);
    ASSERT_TRUE(counter) << description(counter.error());
    EXPECT_EQ(*counter, expected);
    // A replay of the same assertion after it was accepted: the counter no longer grows.
    EXPECT_EQ(
        verifier(true).verifyAssertion(*assertion, attested.publicKey, *counter, hash).error(),
        AppAttestVerifyError::untrusted);
    stored = *counter;
  }
  // Counter equal to the stored one is refused; one more is accepted.
  key.counter = 9;
  auto ten = makeAssertion(key, hash).value();
  EXPECT_EQ(verifier(true).verifyAssertion(ten, attested.publicKey, 10, hash).error(),
            AppAttestVerifyError::untrusted);
  EXPECT_EQ(verifier(true).verifyAssertion(ten, attested.publicKey, 9, hash).value(), 10u);
  // Signed by another key.
  auto other = authority.attest(hash).value().key;
  auto foreign = makeAssertion(other, hash).value();
  EXPECT_EQ(verifier(true).verifyAssertion(foreign, attested.publicKey, 0, hash).error(),
            AppAttestVerifyError::untrusted);
}

TEST_F(DevAuthority, KeyFileRoundTripsPrivately) {
  EXPECT_FALSE(loadAttestKey(dir.path()));
  AttestKey key = authority.attest(hash).value().key;
  key.counter = 41;
  ASSERT_TRUE(saveAttestKey(dir.path(), key));
  EXPECT_EQ(modeOf(dir / "attest-key.json"), 0600u);
  auto loaded = loadAttestKey(dir.path());
  ASSERT_TRUE(loaded) << loaded.error().description();
  EXPECT_EQ(loaded->keyId, key.keyId);
  EXPECT_EQ(loaded->privateKeyPem, key.privateKeyPem);
  EXPECT_EQ(loaded->counter, 41u);
  ASSERT_TRUE(ferrowin::common::writeFileAtomically(dir / "attest-key.json", "{\"keyId\":1}"));
  EXPECT_FALSE(loadAttestKey(dir.path()));
}

TEST_F(DevAuthority, LeafWithAnotherCurveIsUntrusted) {
  // A chain under the development root whose leaf key is P-384: everything else is right.
  auto rootKey = generateKey("secp384r1");
  const std::time_t now = std::time(nullptr);
  auto root = makeCertificate({.commonName = "Root",
                               .subjectKey = rootKey.get(),
                               .certificateAuthority = true,
                               .notBefore = now - 60,
                               .notAfter = now + 3600});
  auto caKey = generateKey("secp384r1");
  auto ca = makeCertificate({.commonName = "CA",
                             .subjectKey = caKey.get(),
                             .issuer = root.get(),
                             .issuerKey = rootKey.get(),
                             .certificateAuthority = true,
                             .notBefore = now - 60,
                             .notAfter = now + 3600});
  auto leafKey = generateKey("secp384r1");
  const auto p256 = publicKeyX963(generateKey("prime256v1").get());
  const auto credentialId = sha256(p256);
  const auto authData = makeAttestationAuthData(kClientAppId, credentialId, p256);
  auto leaf = makeCertificate({.commonName = "leaf",
                               .subjectKey = leafKey.get(),
                               .issuer = ca.get(),
                               .issuerKey = caKey.get(),
                               .notBefore = now - 60,
                               .notAfter = now + 3600,
                               .attestationNonce = sha256(authData, hash)});
  const auto object =
      makeAttestationObject(certificateDer(leaf.get()), certificateDer(ca.get()), authData);

  AppAttestVerifier verifier(
      {std::string(kClientAppId), {certificatePem(root.get())}, [now] { return now; }});
  const std::string keyId = ferrowin::common::base64Encode(credentialId);
  EXPECT_EQ(verifier.verifyAttestation(object, keyId, hash).error(),
            AppAttestVerifyError::untrusted);
}

}  // namespace
}  // namespace ferrowin::client::attest
