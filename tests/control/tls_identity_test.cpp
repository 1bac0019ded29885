#include "server/control/tls_identity.h"

#include <gtest/gtest.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include "common/util/files.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::control {
namespace {

mode_t modeOf(const std::filesystem::path& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 0777;
}

struct X509Deleter {
  void operator()(X509* x) const { X509_free(x); }
};

std::unique_ptr<X509, X509Deleter> parse(const std::vector<uint8_t>& der) {
  const unsigned char* cursor = der.data();
  return std::unique_ptr<X509, X509Deleter>(d2i_X509(nullptr, &cursor, long(der.size())));
}

TEST(TLSIdentity, ReplacedWhenUnusable) {
  testing::TempDir dir;
  const auto tls = dir / "control-tls";
  const auto original = *loadOrCreateIdentity(tls);
  EXPECT_EQ(modeOf(tls / "key"), 0600u);
  EXPECT_EQ(loadOrCreateIdentity(tls)->certificate, original.certificate);  // kept while usable

  std::filesystem::remove(tls / "cert.der");
  const auto afterMissingCert = *loadOrCreateIdentity(tls);
  EXPECT_NE(afterMissingCert.privateKey, original.privateKey);

  ASSERT_TRUE(common::writeFileAtomically(tls / "key", std::string(31, '\x01'), 0600));
  const auto afterShortKey = *loadOrCreateIdentity(tls);
  EXPECT_NE(afterShortKey.privateKey, afterMissingCert.privateKey);
  EXPECT_EQ(afterShortKey.privateKey.size(), 32u);

  // A valid key with another identity's certificate could never complete a handshake.
  const auto other = *loadOrCreateIdentity(dir / "other");
  ASSERT_TRUE(common::writeFileAtomically(
      tls / "cert.der", std::string(other.certificate.begin(), other.certificate.end())));
  const auto afterMismatch = *loadOrCreateIdentity(tls);
  EXPECT_NE(afterMismatch.privateKey, afterShortKey.privateKey);
  EXPECT_NE(afterMismatch.certificate, other.certificate);
  EXPECT_TRUE(makeServerContext(afterMismatch));
}

TEST(TLSIdentity, CertificateFields) {
  testing::TempDir dir;
  const auto identity = *loadOrCreateIdentity(dir / "control-tls");
  auto certificate = parse(identity.certificate);
  ASSERT_TRUE(certificate);
  EXPECT_EQ(X509_get_version(certificate.get()), 2);  // v3
  char name[64];
  X509_NAME_oneline(X509_get_subject_name(certificate.get()), name, sizeof name);
  EXPECT_STREQ(name, "/CN=Ferrowin");
  X509_NAME_oneline(X509_get_issuer_name(certificate.get()), name, sizeof name);
  EXPECT_STREQ(name, "/CN=Ferrowin");
  EXPECT_EQ(X509_get_ext_count(certificate.get()), 0);
  EXPECT_EQ(X509_get_signature_nid(certificate.get()), NID_ecdsa_with_SHA256);

  EVP_PKEY* key = X509_get0_pubkey(certificate.get());
  ASSERT_TRUE(key);
  EXPECT_EQ(X509_verify(certificate.get(), key), 1);  // self-signed
  EXPECT_FALSE(X509_get0_serialNumber(certificate.get())->type & V_ASN1_NEG);
}

}  // namespace
}  // namespace ferrowin::control
