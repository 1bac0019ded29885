// The real host over real TLS on loopback, driven by the reference client library.

#include <gtest/gtest.h>

#include "client/attest/dev_authority.h"
#include "client/control/control_client.h"
#include "client/control/pairing.h"
#include "common/util/base64.h"
#include "common/util/files.h"
#include "common/util/json.h"
#include "tests/integration/host_process.h"
#include "tests/support/run_command.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::testing {
namespace {

using client::ControlClient;
using client::ControlError;
using client::HostAddress;

// A client with its own state directory and development CA.
struct Client {
  TempDir state;
  client::attest::DevAttestAuthority authority =
      client::attest::DevAttestAuthority::open(state.path(), true).value();
  ControlClient connect(uint16_t port, bool repin = false) {
    return ControlClient(HostAddress{"127.0.0.1", port}, state.path(), 10.0, repin);
  }
};

class ControlPlane : public ::testing::Test {
 protected:
  // Starts a host trusting `devRoot` (the first client's CA unless told otherwise).
  HostProcess& startHost(std::optional<std::filesystem::path> devRoot,
                         std::vector<std::pair<std::string, std::string>> environment = {}) {
    host_ = std::make_unique<HostProcess>(HostProcess::Options{
        data.path(), config.path(), std::move(devRoot), std::move(environment), port_});
    port_ = host_->port();
    EXPECT_TRUE(host_->start()) << host_->log();
    return *host_;
  }
  HostProcess& startHost() { return startHost(alice.authority.rootCertificatePath()); }

  Expected<void, ControlError> pair(Client& who) {
    auto client = who.connect(port_, true);
    const std::string code = host_->pairingCode(lastCode_);
    lastCode_ = code;
    return client::pairWithHost(client, who.authority, who.state.path(), code);
  }
  Expected<void, ControlError> resume(Client& who) {
    auto client = who.connect(port_);
    return client::resumeWithHost(client, who.state.path());
  }
  // Bob's CA is not the one the host trusts: give Bob Alice's authority files.
  void bobUsesAlicesAuthority() {
    std::filesystem::copy(alice.state / "dev-ca", bob.state / "dev-ca",
                          std::filesystem::copy_options::overwrite_existing |
                              std::filesystem::copy_options::recursive);
    bob.authority = client::attest::DevAttestAuthority::open(bob.state.path(), false).value();
  }
  common::Json pairedClientsFile() {
    auto text = common::readFile(data / "com.zavel.ferrowin.server/paired-clients.json");
    return text ? common::parseJson(*text).value_or(common::Json{}) : common::Json{};
  }

  TempDir data, config;
  Client alice, bob;
  std::unique_ptr<HostProcess> host_;
  uint16_t port_ = 0;
  std::string lastCode_;
};

// Success, or the failure's description in the test output.
::testing::AssertionResult ok(const Expected<void, ControlError>& result) {
  if (result) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << result.error().description();
}

void expectHttpError(const Expected<void, ControlError>& result, int status,
                     const std::string& message) {
  ASSERT_FALSE(result) << "expected " << status << " " << message;
  EXPECT_EQ(result.error().kind, ControlError::Kind::http) << result.error().description();
  EXPECT_EQ(result.error().status, status) << result.error().description();
  EXPECT_EQ(result.error().message, message);
}

// `ferrowin-server --data-dir D clients …`: its exit status and output.
std::pair<int, std::string> clientsCommand(const std::filesystem::path& data,
                                           const std::string& arguments) {
  int status = -1;
  std::string output = runCommand(
      serverBinary().string() + " --data-dir " + data.string() + " clients " + arguments + " 2>&1",
      &status);
  return {status, output};
}

TEST_F(ControlPlane, PairingResumingAndTheClientsFileAcrossHostRestarts) {
  // A client without the development root is rejected.
  startHost(std::nullopt);  // Apple's root only
  // Headless, the host logs what setup lacks (here, without a display, XTEST).
  EXPECT_NE(host_->log().find(" warning [com.zavel.ferrowin.server/setup] Setup: Accessibility: "
                              "Not enabled: "),
            std::string::npos)
      << host_->log();
  expectHttpError(pair(alice), 401, "attestation rejected");
  EXPECT_FALSE(client::attest::loadAttestKey(alice.state.path()));  // nothing saved on failure

  // A host that pairs every connection refuses resumption.
  startHost(alice.authority.rootCertificatePath(), {{"FERROWIN_PAIR_EVERY_CONNECTION", "Yes"}});
  ASSERT_TRUE(ok(pair(alice)));
  auto known = alice.connect(port_).hello(client::attest::loadAttestKey(alice.state.path())->keyId);
  ASSERT_TRUE(known);
  EXPECT_TRUE(known->paired);
  EXPECT_TRUE(known->pinRequired);
  expectHttpError(resume(alice), 401, "pairing_required");
  EXPECT_TRUE(ok(pair(alice)));                          // pairing again works ...
  EXPECT_EQ(pairedClientsFile()["clients"].size(), 1u);  // ... with the same key

  // A corrupt file is set aside; paired clients are listed, and forgotten while no host runs.
  const auto file = data / "com.zavel.ferrowin.server/paired-clients.json";
  const std::string garbage = "{\"clients\": [{\"keyId\": \"a\"";  // cut short
  host_->stop();  // else it would write the file back
  ASSERT_TRUE(common::writeFileAtomically(file, garbage));
  startHost();
  EXPECT_NE(host_->log().find(file.string() + " is not a paired-clients file"), std::string::npos)
      << host_->log();
  bobUsesAlicesAuthority();
  ASSERT_TRUE(ok(pair(alice)));
  ASSERT_TRUE(ok(pair(bob)));
  EXPECT_EQ(common::readFile(file.string() + ".corrupt").value(), garbage);
  const std::string aliceKey = client::attest::loadAttestKey(alice.state.path())->keyId;
  const std::string bobKey = client::attest::loadAttestKey(bob.state.path())->keyId;

  auto [listed, list] = clientsCommand(data.path(), "list");
  EXPECT_EQ(listed, 0) << list;
  EXPECT_NE(list.find(aliceKey + "  counter 0\n"), std::string::npos) << list;
  EXPECT_NE(list.find(bobKey + "  counter 0\n"), std::string::npos) << list;
  // The running host would write the client back: refused, nothing changed.
  auto [refused, busy] = clientsCommand(data.path(), "forget " + aliceKey);
  EXPECT_EQ(refused, 1) << busy;
  EXPECT_NE(busy.find("a host is running with"), std::string::npos) << busy;
  EXPECT_EQ(pairedClientsFile()["clients"].size(), 2u);

  ASSERT_EQ(host_->stop(), 0) << host_->log();
  auto [forgot, forgetting] = clientsCommand(data.path(), "forget " + aliceKey);
  EXPECT_EQ(forgot, 0) << forgetting;
  EXPECT_EQ(clientsCommand(data.path(), "forget " + aliceKey).first, 1);  // gone already
  EXPECT_EQ(clientsCommand(data.path(), "forget").first, 2);  // no key id: a usage error
  const auto clients = pairedClientsFile()["clients"];
  ASSERT_EQ(clients.size(), 1u);
  EXPECT_EQ(clients[0]["keyId"], bobKey);

  startHost();
  expectHttpError(resume(alice), 409, "unknown_key");
  EXPECT_TRUE(ok(resume(bob)));

  // Wrong codes are logged, and five in a row replace the code.
  auto client = alice.connect(port_);
  const std::string code = host_->pairingCode();
  const std::string wrong = code == "000000" ? "000001" : "000000";
  // One typo: logged, and neither the challenge nor the code is spent.
  auto hello = client.hello(std::nullopt).value();
  expectHttpError(client.pair(wrong, "k", "AAAA", std::nullopt), 401, "invalid code");
  auto attestation =
      alice.authority.attest(client::attest::sha256(*common::base64Decode(hello.challenge)))
          .value();
  ASSERT_TRUE(ok(client.pair(code, attestation.key.keyId, common::base64Encode(attestation.object),
                             std::nullopt)));
  EXPECT_NE(host_->log().find(" warning [com.zavel.ferrowin.server/auth] Pairing from 127.0.0.1 "
                              "failed: invalid code\n"),
            std::string::npos)
      << host_->log();

  // Four wrong codes keep the new code; the fifth replaces it.
  const std::string second = host_->pairingCode(code);
  ASSERT_FALSE(second.empty());
  for (int attempt = 1; attempt <= 5; ++attempt) {
    expectHttpError(client.pair(wrong == second ? "000002" : wrong, "k", "AAAA", std::nullopt), 401,
                    "invalid code");
    if (attempt == 4) {
      EXPECT_TRUE(host_->pairingCode(second, 0.3).empty());
    }
  }
  const std::string third = host_->pairingCode(second);
  ASSERT_FALSE(third.empty()) << host_->log();
  EXPECT_NE(host_->log().find("5 wrong pairing codes in a row; the pairing code is replaced"),
            std::string::npos);
  expectHttpError(client.pair(second, "k", "AAAA", std::nullopt), 401, "invalid code");
  lastCode_ = second;
  EXPECT_TRUE(ok(pair(alice)));  // with the replacement
}

}  // namespace
}  // namespace ferrowin::testing
