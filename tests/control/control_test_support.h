#pragma once
// Shared pieces of the control tests: P-256 test keys, an App Attest stand-in, running work on a
// main executor thread, and a raw TLS client.

#include <asio/ip/tcp.hpp>
#include <asio/ssl.hpp>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/runtime/flow.h"
#include "common/runtime/main_executor.h"
#include "server/control/client_proof.h"
#include "server/control/control_server.h"

namespace ferrowin::control {

/// A valid P-256 public key (X9.63), different for each seed.
std::vector<uint8_t> testPublicKey(uint8_t seed);

/// Stands in for App Attest: the attestation "attest-ok" is valid and yields testPublicKey(7) with
/// counter 0; an assertion "assert:N" is valid when N is above the stored counter.
class FakeProofVerifier final : public ClientProofVerifier {
 public:
  Expected<AttestedKey, AppAttestVerifyError> verifyAttestation(
      std::span<const uint8_t> attestation, const std::string& keyId,
      std::span<const uint8_t> clientDataHash) const override;
  Expected<uint32_t, AppAttestVerifyError> verifyAssertion(
      std::span<const uint8_t> assertion, const Credential& credential,
      std::span<const uint8_t> clientDataHash) const override;
};

/// A main executor running on its own thread for the life of the object.
class MainThread {
 public:
  MainThread();
  ~MainThread();
  common::MainExecutor& executor() { return main_; }

  template <class F>
  auto run(F work) -> decltype(work()) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    main_.post([&task] { task(); });
    return result.get();
  }

  /// Routes `request` on the main executor and waits for the answer.
  ControlHTTPResponse route(const std::shared_ptr<ControlServer>& server,
                            ControlHTTPRequest request);

 private:
  common::MainExecutor main_;
  std::thread thread_;
};

ControlHTTPRequest makeRequest(std::string method, std::string path, std::string body,
                               std::string peer);
std::string bodyText(const ControlHTTPResponse& response);

/// Sends `request` over one TLS connection to 127.0.0.1:`port` and returns everything the server
/// sends until it closes (or 5 s pass: then "TIMEOUT" is appended).
std::string tlsExchange(uint16_t port, const std::string& request);

}  // namespace ferrowin::control
