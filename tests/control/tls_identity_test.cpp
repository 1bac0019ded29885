#include "server/control/tls_identity.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/util/files.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::control {
namespace {

TEST(TLSIdentity, ReplacedWhenUnusable) {
  testing::TempDir dir;
  const auto tls = dir / "control-tls";
  const auto original = *loadOrCreateIdentity(tls);
  struct stat key {};
  ASSERT_EQ(::stat((tls / "key").c_str(), &key), 0);
  EXPECT_EQ(key.st_mode & 0777, 0600u);
  EXPECT_EQ(loadOrCreateIdentity(tls)->certificate, original.certificate);  // kept while usable

  std::filesystem::remove(tls / "cert.der");
  const auto afterMissingCert = *loadOrCreateIdentity(tls);
  EXPECT_NE(afterMissingCert.privateKey, original.privateKey);

  ASSERT_TRUE(common::writeFileAtomically(tls / "key", std::string(31, '\x01'), 0600));
  const auto afterShortKey = *loadOrCreateIdentity(tls);
  EXPECT_NE(afterShortKey.privateKey, afterMissingCert.privateKey);

  // A valid key with another identity's certificate could never complete a handshake.
  const auto other = *loadOrCreateIdentity(dir / "other");
  ASSERT_TRUE(common::writeFileAtomically(
      tls / "cert.der", std::string(other.certificate.begin(), other.certificate.end())));
  const auto afterMismatch = *loadOrCreateIdentity(tls);
  EXPECT_NE(afterMismatch.privateKey, afterShortKey.privateKey);
  EXPECT_NE(afterMismatch.certificate, other.certificate);
  EXPECT_TRUE(makeServerContext(afterMismatch));
}

}  // namespace
}  // namespace ferrowin::control
