#include "server/control/authenticated_peers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/util/base64.h"
#include "common/util/files.h"
#include "common/util/json.h"
#include "server/control/p256.h"
#include "server/control/server_identifier.h"
#include "tests/control/control_test_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::control {
namespace {

TEST(AuthenticatedPeers, ChallengesExpireAndAreUsedOnceAndExpiredOnesArePurged) {
  testing::TempDir dir;
  common::ManualClock clock;
  AuthenticatedPeers peers(dir.path(), clock);

  const auto nonce = peers.issueChallenge("10.0.0.1");
  EXPECT_EQ(nonce.size(), 32u);
  EXPECT_EQ(peers.takeChallenge("10.0.0.1"), nonce);
  EXPECT_FALSE(peers.takeChallenge("10.0.0.1"));  // used
  EXPECT_FALSE(peers.takeChallenge("10.0.0.2"));  // never issued

  const auto replaced = peers.issueChallenge("10.0.0.1");
  const auto latest = peers.issueChallenge("10.0.0.1");
  EXPECT_NE(replaced, latest);
  clock.advance(179.9);
  EXPECT_EQ(peers.takeChallenge("10.0.0.1"), latest);

  peers.issueChallenge("10.0.0.1");
  clock.advance(180.0);
  EXPECT_FALSE(peers.takeChallenge("10.0.0.1"));  // expired exactly at 180 s

  // Those of addresses that never come back go with the next challenge.
  for (int i = 0; i < 100; ++i) peers.issueChallenge("10.0.1." + std::to_string(i));
  EXPECT_EQ(peers.pendingChallengeCount(), 100u);
  clock.advance(181);
  peers.issueChallenge("10.0.0.9");
  EXPECT_EQ(peers.pendingChallengeCount(), 1u);
}

TEST(AuthenticatedPeers, BindingsStayOneToOne) {
  testing::TempDir dir;
  common::ManualClock clock;
  AuthenticatedPeers peers(dir.path(), clock);
  int changes = 0;
  peers.setOnChange([&] {
    ++changes;
    (void)peers.authenticatedAddresses();  // the callback may call back in
  });

  peers.authorize("keyA", "10.0.0.1");
  peers.authorize("keyA", "10.0.0.1");  // no change
  EXPECT_EQ(changes, 1);
  peers.authorize("keyB", "10.0.0.1");  // the address moves to keyB
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(peers.authenticatedAddresses(), std::vector<std::string>{"10.0.0.1"});
  peers.authorize("keyA", "10.0.0.2");
  peers.authorize("keyA", "10.0.0.3");  // keyA moves; 10.0.0.2 is no longer trusted
  EXPECT_TRUE(peers.isAuthenticated("10.0.0.1"));
  EXPECT_FALSE(peers.isAuthenticated("10.0.0.2"));
  EXPECT_TRUE(peers.isAuthenticated("10.0.0.3"));

  peers.forgetAddress("10.0.0.9");
  EXPECT_EQ(changes, 4);
  peers.forgetAddress("10.0.0.1");
  EXPECT_EQ(changes, 5);
  EXPECT_EQ(peers.authenticatedAddresses(), std::vector<std::string>{"10.0.0.3"});
  // keyB lost its address with it: binding keyB elsewhere leaves 10.0.0.3 alone.
  peers.authorize("keyB", "10.0.0.4");
  EXPECT_TRUE(peers.isAuthenticated("10.0.0.3"));
}

TEST(AuthenticatedPeers, CredentialsPersistSortedWithMode0600) {
  testing::TempDir dir;
  common::ManualClock clock;
  const auto keyA = testPublicKey(1);
  const auto keyB = testPublicKey(2);
  {
    AuthenticatedPeers peers(dir.path(), clock);
    peers.storeCredential("zeta", Credential{keyA, 3});
    peers.storeCredential("alpha", Credential{keyB, 9});
  }
  struct stat st {};
  ASSERT_EQ(::stat((dir / "paired-clients.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  auto json = *common::parseJson(*common::readFile(dir / "paired-clients.json"));
  ASSERT_EQ(json["clients"].size(), 2u);
  EXPECT_EQ(json["clients"][0]["keyId"], "alpha");
  EXPECT_EQ(json["clients"][1]["keyId"], "zeta");
  EXPECT_EQ(json["clients"][1]["publicKey"], common::base64Encode(keyA));

  AuthenticatedPeers reloaded(dir.path(), clock);
  EXPECT_EQ(reloaded.credential("zeta")->counter, 3u);
  EXPECT_EQ(reloaded.credential("alpha")->publicKey, keyB);
  EXPECT_TRUE(reloaded.authenticatedAddresses().empty());  // bindings are never persisted
}

TEST(AuthenticatedPeers, MalformedKeysAreSkippedOthersLoad) {
  testing::TempDir dir;
  common::ManualClock clock;
  common::Json file = {
      {"clients",
       {{{"keyId", "good"}, {"publicKey", common::base64Encode(testPublicKey(1))}, {"counter", 1}},
        {{"keyId", "notBase64"}, {"publicKey", "***"}, {"counter", 1}},
        {{"keyId", "offCurve"},
         {"publicKey", common::base64Encode(std::vector<uint8_t>(65, 4))},
         {"counter", 1}}}}};
  ASSERT_TRUE(common::writeFileAtomically(dir / "paired-clients.json", file.dump()));
  AuthenticatedPeers peers(dir.path(), clock);
  EXPECT_TRUE(peers.credential("good"));
  EXPECT_FALSE(peers.credential("notBase64"));
  EXPECT_FALSE(peers.credential("offCurve"));

  ASSERT_TRUE(
      common::writeFileAtomically(dir / "paired-clients.json", "{\"clients\":[{\"keyId\":1}]}"));
  AuthenticatedPeers undecodable(dir.path(), clock);
  EXPECT_FALSE(undecodable.credential("good"));
}

TEST(AuthenticatedPeers, FailedSaveIsLoggedAndReturnedAndUndoneOnlyWhenAsked) {
  testing::TempDir dir;
  common::ManualClock clock;
  ASSERT_TRUE(common::writeFileAtomically(dir / "blocker", "x"));
  AuthenticatedPeers peers(dir / "blocker", clock);
  testing::LogCapture log;
  EXPECT_FALSE(peers.storeCredential("k", Credential{testPublicKey(1), 1}));
  EXPECT_TRUE(peers.credential("k"));  // a counter update: kept
  // A new pairing that cannot be saved leaves what was there: nothing, or the older credential.
  const Credential older{testPublicKey(1), 1}, newer{testPublicKey(2), 0};
  EXPECT_FALSE(peers.storeCredential("new", newer, AuthenticatedPeers::OnSaveFailure::undo));
  EXPECT_FALSE(peers.credential("new"));
  EXPECT_FALSE(peers.storeCredential("k", newer, AuthenticatedPeers::OnSaveFailure::undo));
  EXPECT_EQ(peers.credential("k"), older);
  bool logged = false;
  for (const auto& record : log.records())
    logged |=
        record.starts_with("com.zavel.ferrowin.server/auth|Paired clients could not be saved: ");
  EXPECT_TRUE(logged);
}

TEST(ServerIdentifierTest, MadeOnceKeptAndReplacedWhenBlank) {
  testing::TempDir dir;
  const std::string first = ServerIdentifier(dir.path()).value();
  EXPECT_EQ(first.size(), 36u);
  EXPECT_EQ(first.find_first_not_of("0123456789ABCDEF-"), std::string::npos);
  EXPECT_EQ(first[14], '4');
  EXPECT_EQ(ServerIdentifier(dir.path()).value(), first);

  ASSERT_TRUE(common::writeFileAtomically(dir / "server-id", "  custom-id\n"));
  EXPECT_EQ(ServerIdentifier(dir.path()).value(), "custom-id");
  ASSERT_TRUE(common::writeFileAtomically(dir / "server-id", "\n"));
  const std::string replaced = ServerIdentifier(dir.path()).value();
  EXPECT_EQ(replaced.size(), 36u);
  EXPECT_EQ(*common::readFile(dir / "server-id"), replaced);
}

TEST(PairEveryConnection, Values) {
  for (const char* on : {"1", "true", " yes\n"}) EXPECT_TRUE(pairEveryConnectionValue(on)) << on;
  for (const char* off : {"0", "", "y"}) EXPECT_FALSE(pairEveryConnectionValue(off)) << off;
  EXPECT_FALSE(pairEveryConnectionValue(nullptr));
}

}  // namespace
}  // namespace ferrowin::control
