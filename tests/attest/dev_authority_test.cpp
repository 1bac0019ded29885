#include "client/attest/dev_authority.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/util/base64.h"
#include "server/control/attest/app_attest.h"
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
};

TEST_F(DevAuthority, KeepsItsCaInTheStateDirectoryAndRefusesALeafOfAnotherCurve) {
  for (const char* key : {"dev-ca/root-key.pem", "dev-ca/intermediate-key.pem"})
    EXPECT_EQ(modeOf(dir / key), 0600u) << key;
  ASSERT_TRUE(saveAttestKey(dir.path(), authority.attest(hash).value().key));
  EXPECT_EQ(modeOf(dir / "attest-key.json"), 0600u);
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

  // A leaf with another curve is untrusted: a chain under a development root whose leaf key is
  // P-384, everything else right.
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
