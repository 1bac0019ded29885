#include "server/control/attest/app_attest.h"

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "client/attest/certificates.h"
#include "server/control/attest/apple_root_ca.h"
#include "tests/attest/vectors.h"

namespace ferrowin::control::attest {
namespace {

using namespace testing;
using enum AppAttestVerifyError;

AppAttestVerifier verifierAt(const std::string& appId, std::time_t time,
                             std::vector<std::string> anchors = {kAppleAppAttestationRootCaPem}) {
  return AppAttestVerifier({appId, std::move(anchors), [time] { return time; }});
}

std::string sampleName(const ::testing::TestParamInfo<const char*>& sample) {
  return std::string(sample.param).find("production") != std::string::npos ? "Production"
                                                                           : "Development";
}

class RealAttestation : public ::testing::TestWithParam<const char*> {
 protected:
  AttestationVector v = attestationVector(GetParam());
  Expected<AttestedKey, AppAttestVerifyError> verify(const std::vector<uint8_t>& object) {
    return verifierAt(v.appId, v.verifyAt).verifyAttestation(object, v.keyId, v.clientDataHash);
  }
};

// The sample with one change made to it or to what it is verified against.
struct Attempt {
  cbor::Value object;
  std::string appId, keyId;
  std::vector<uint8_t> hash, publicKey;
};

TEST_P(RealAttestation, VerifiesAtItsDateWhileTheChainIsValidAndEachFaultGivesItsError) {
  ASSERT_FALSE(v.object.empty());
  auto key = verify(v.object);
  ASSERT_TRUE(key) << description(key.error());
  EXPECT_EQ(key->publicKey, v.publicKey);
  EXPECT_EQ(key->counter, 0u);
  // Re-encoding the decoded object changes nothing that is verified.
  EXPECT_TRUE(verify(encode(decodeOrDie(v.object))));

  auto at = [&](std::time_t t) {
    return verifierAt(v.appId, t).verifyAttestation(v.object, v.keyId, v.clientDataHash);
  };
  EXPECT_TRUE(at(v.validUntil));
  EXPECT_EQ(at(v.validUntil + 1).error(), untrusted);  // the leaf's notAfter
  EXPECT_EQ(at(v.verifyAt - 10 * 24 * 3600).error(), untrusted);
  EXPECT_EQ(AppAttestVerifier::production()
                .verifyAttestation(v.object, v.keyId, v.clientDataHash)
                .error(),
            untrusted);

  // Only the configured anchors are trusted.
  auto devRoot = client::attest::generateKey("secp384r1");
  auto otherRoot =
      client::attest::certificatePem(client::attest::makeCertificate({.commonName = "Other Root",
                                                                      .subjectKey = devRoot.get(),
                                                                      .certificateAuthority = true,
                                                                      .notBefore = 0,
                                                                      .notAfter = 4102444800})
                                         .get());
  auto with = [&](std::vector<std::string> anchors) {
    return verifierAt(v.appId, v.verifyAt, std::move(anchors))
        .verifyAttestation(v.object, v.keyId, v.clientDataHash);
  };
  EXPECT_EQ(with({}).error(), untrusted);
  EXPECT_EQ(with({otherRoot}).error(), untrusted);
  EXPECT_EQ(with({"not a certificate"}).error(), untrusted);
  EXPECT_TRUE(with({otherRoot, kAppleAppAttestationRootCaPem}));

  // Each fault gives its error.
  const auto x5c = [](Attempt& a) -> cbor::Array& {
    return std::get<cbor::Array>(member(member(a.object, "attStmt"), "x5c").content);
  };
  const auto authData = [](Attempt& a) -> cbor::Bytes& {
    return std::get<cbor::Bytes>(member(a.object, "authData").content);
  };
  const std::tuple<const char*, std::function<void(Attempt&)>, AppAttestVerifyError> faults[] = {
      {"another format", [](Attempt& a) { member(a.object, "fmt") = {"packed"}; }, malformed},
      {"no format", [](Attempt& a) { std::get<cbor::Map>(a.object.content).erase("fmt"); },
       malformed},
      {"authData as text", [](Attempt& a) { member(a.object, "authData") = {"text"}; }, malformed},
      {"attStmt as bytes", [](Attempt& a) { member(a.object, "attStmt") = {cbor::Bytes{}}; },
       malformed},
      {"a lone certificate", [&](Attempt& a) { x5c(a).resize(1); }, malformed},
      {"the intermediate as text", [&](Attempt& a) { x5c(a)[1] = {"intermediate"}; }, malformed},
      {"authData cut short", [&](Attempt& a) { authData(a).resize(54); }, malformed},
      {"an empty credential id", [&](Attempt& a) { authData(a)[53] = authData(a)[54] = 0; },
       malformed},
      {"a credential id past the end", [&](Attempt& a) { authData(a)[53] = 0xff; }, malformed},
      {"a hash of 31 bytes", [](Attempt& a) { a.hash.pop_back(); }, malformed},
      // The first failure decides: the lone certificate before the wrong App ID, authData too
      // short to parse before its wrong AAGUID.
      {"a lone certificate for another app",
       [&](Attempt& a) {
         x5c(a).resize(1);
         a.appId = "X.y";
       },
       malformed},
      {"short authData with another AAGUID",
       [&](Attempt& a) {
         authData(a)[37] ^= 1;
         authData(a).resize(50);
       },
       malformed},
      {"another app", [](Attempt& a) { a.appId = "K4X8R2TQ5M.com.zavel.ferrowin.remote"; },
       untrusted},
      {"another AAGUID", [&](Attempt& a) { authData(a)[40] ^= 1; }, untrusted},
      // The key id must be canonical Base64 of the credential id.
      {"another key id", [](Attempt& a) { a.keyId[0] = a.keyId[0] == 'A' ? 'B' : 'A'; }, untrusted},
      {"a key id and a newline", [](Attempt& a) { a.keyId += "\n"; }, untrusted},
      // Another challenge, or any change to authData after the credential id, breaks the nonce.
      {"another challenge", [](Attempt& a) { a.hash[31] ^= 1; }, untrusted},
      {"a longer authData", [&](Attempt& a) { authData(a).push_back(0); }, untrusted},
      {"the intermediate in the leaf's place", [&](Attempt& a) { std::swap(x5c(a)[0], x5c(a)[1]); },
       untrusted},
  };
  for (const auto& [name, change, expected] : faults) {
    Attempt attempt{decodeOrDie(v.object), v.appId, v.keyId, v.clientDataHash};
    change(attempt);
    auto result = verifierAt(attempt.appId, v.verifyAt)
                      .verifyAttestation(encode(attempt.object), attempt.keyId, attempt.hash);
    ASSERT_FALSE(result) << name;
    EXPECT_EQ(result.error(), expected) << name;
  }
  for (const std::vector<uint8_t>& bytes : {std::vector<uint8_t>{0x83, 0x01, 0x02, 0x03},  // array
                                            std::vector<uint8_t>{0xbf}, std::vector<uint8_t>{}})
    EXPECT_EQ(verify(bytes).error(), malformed);
}

INSTANTIATE_TEST_SUITE_P(AppleSamples, RealAttestation,
                         ::testing::Values("attestation-production.json",
                                           "attestation-development.json"),
                         sampleName);

class RealAssertion : public ::testing::TestWithParam<const char*> {
 protected:
  AssertionVector v = assertionVector(GetParam());
  Expected<uint32_t, AppAttestVerifyError> verify(const std::vector<uint8_t>& object,
                                                  uint32_t stored = 0) {
    return verifierAt(v.appId, 0).verifyAssertion(object, v.publicKey, stored, v.clientDataHash);
  }
};

TEST_P(RealAssertion, VerifiesAgainstTheAttestedKeyWhenTheCounterGrowsAndFaultsFail) {
  auto counter = verify(v.object, v.previousCounter);
  ASSERT_TRUE(counter) << description(counter.error());
  EXPECT_EQ(*counter, 1u);
  EXPECT_EQ(verify(v.object, 1).error(), untrusted);
  EXPECT_EQ(verify(v.object, UINT32_MAX).error(), untrusted);

  // Each fault gives its error.
  const auto signature = [](Attempt& a) -> cbor::Bytes& {
    return std::get<cbor::Bytes>(member(a.object, "signature").content);
  };
  const auto authenticatorData = [](Attempt& a) -> cbor::Bytes& {
    return std::get<cbor::Bytes>(member(a.object, "authenticatorData").content);
  };
  const std::tuple<const char*, std::function<void(Attempt&)>, AppAttestVerifyError> faults[] = {
      {"a hash of 31 bytes", [](Attempt& a) { a.hash.pop_back(); }, malformed},
      {"an array", [](Attempt& a) { a.object = {cbor::Array{}}; }, malformed},
      {"no signature", [](Attempt& a) { std::get<cbor::Map>(a.object.content).erase("signature"); },
       malformed},
      {"the signature as text", [](Attempt& a) { member(a.object, "signature") = {"sig"}; },
       malformed},
      {"authenticatorData cut short", [&](Attempt& a) { authenticatorData(a).resize(36); },
       malformed},
      {"another app", [](Attempt& a) { a.appId = "K4X8R2TQ5M.com.zavel.ferrowin.remote"; },
       untrusted},
      {"another challenge", [](Attempt& a) { a.hash[0] ^= 1; }, untrusted},
      {"a signature with one bit changed", [&](Attempt& a) { signature(a)[10] ^= 1; }, untrusted},
      // A longer authenticatorData (extensions) is hashed as sent: the signature no longer matches.
      {"a longer authenticatorData", [&](Attempt& a) { authenticatorData(a).push_back(0); },
       untrusted},
      // A stored key that is not a P-256 point.
      {"a key off the curve", [](Attempt& a) { a.publicKey[64] ^= 1; }, untrusted},
      {"no key", [](Attempt& a) { a.publicKey.clear(); }, untrusted},
      // The same (r, s) with a padded length field: BER, not DER.
      {"a BER signature",
       [&](Attempt& a) {
         auto& sig = signature(a);
         std::vector<uint8_t> ber = {0x30, 0x81, sig[1]};
         ber.insert(ber.end(), sig.begin() + 2, sig.end());
         sig = ber;
       },
       untrusted},
  };
  for (const auto& [name, change, expected] : faults) {
    Attempt attempt{decodeOrDie(v.object), v.appId, "", v.clientDataHash, v.publicKey};
    change(attempt);
    auto result = verifierAt(attempt.appId, 0)
                      .verifyAssertion(encode(attempt.object), attempt.publicKey, 0, attempt.hash);
    ASSERT_FALSE(result) << name;
    EXPECT_EQ(result.error(), expected) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(AppleSamples, RealAssertion,
                         ::testing::Values("assertion-production.json",
                                           "assertion-development.json"),
                         sampleName);

}  // namespace
}  // namespace ferrowin::control::attest
