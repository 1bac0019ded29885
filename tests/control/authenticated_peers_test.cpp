#include "server/control/authenticated_peers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/util/base64.h"
#include "common/util/files.h"
#include "common/util/json.h"
#include "tests/control/control_test_support.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::control {
namespace {

TEST(AuthenticatedPeers, ChallengesExpireAndAreUsedOnceThenBindingsStayOneToOne) {
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

  // Each key is bound to one address and each address to one key.
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
  // What is saved is private to the host and loads again (address bindings are never saved).
  peers.authorize("good", "10.0.0.1");
  ASSERT_TRUE(peers.storeCredential("new", Credential{testPublicKey(2), 9}));
  struct stat st {};
  ASSERT_EQ(::stat((dir / "paired-clients.json").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  AuthenticatedPeers reloaded(dir.path(), clock);
  EXPECT_EQ(reloaded.credential("new")->counter, 9u);
  EXPECT_TRUE(reloaded.authenticatedAddresses().empty());

  ASSERT_TRUE(
      common::writeFileAtomically(dir / "paired-clients.json", "{\"clients\":[{\"keyId\":1}]}"));
  AuthenticatedPeers undecodable(dir.path(), clock);
  EXPECT_FALSE(undecodable.credential("good"));
}

TEST(AuthenticatedPeers, FailedSaveIsReturnedAndUndoneOnlyWhenAsked) {
  testing::TempDir dir;
  common::ManualClock clock;
  ASSERT_TRUE(common::writeFileAtomically(dir / "blocker", "x"));
  AuthenticatedPeers peers(dir / "blocker", clock);
  EXPECT_FALSE(peers.storeCredential("k", Credential{testPublicKey(1), 1}));
  EXPECT_TRUE(peers.credential("k"));  // a counter update: kept
  // A new pairing that cannot be saved leaves what was there: nothing, or the older credential.
  const Credential older{testPublicKey(1), 1}, newer{testPublicKey(2), 0};
  EXPECT_FALSE(peers.storeCredential("new", newer, AuthenticatedPeers::OnSaveFailure::undo));
  EXPECT_FALSE(peers.credential("new"));
  EXPECT_FALSE(peers.storeCredential("k", newer, AuthenticatedPeers::OnSaveFailure::undo));
  EXPECT_EQ(peers.credential("k"), older);
}

}  // namespace
}  // namespace ferrowin::control
