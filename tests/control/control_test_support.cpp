#include "tests/control/control_test_support.h"

#include <asio/read.hpp>
#include <asio/write.hpp>
#include <chrono>

#include "server/control/p256.h"

namespace ferrowin::control {

std::vector<uint8_t> testPublicKey(uint8_t seed) {
  std::vector<uint8_t> scalar(32, 0);
  scalar[31] = seed;
  scalar[0] = 0x11;
  return p256::publicPoint(p256::privateKeyFromScalar(scalar).get());
}

Expected<AttestedKey, AppAttestVerifyError> FakeProofVerifier::verifyAttestation(
    std::span<const uint8_t> attestation, const std::string&, std::span<const uint8_t>) const {
  if (std::string(attestation.begin(), attestation.end()) != "attest-ok")
    return make_unexpected(AppAttestVerifyError::untrusted);
  return AttestedKey{testPublicKey(7), 0};
}

Expected<uint32_t, AppAttestVerifyError> FakeProofVerifier::verifyAssertion(
    std::span<const uint8_t> assertion, const Credential& credential,
    std::span<const uint8_t>) const {
  const std::string text(assertion.begin(), assertion.end());
  if (!text.starts_with("assert:")) return make_unexpected(AppAttestVerifyError::malformed);
  const uint32_t counter = static_cast<uint32_t>(std::stoul(text.substr(7)));
  if (counter <= credential.counter) return make_unexpected(AppAttestVerifyError::untrusted);
  return counter;
}

MainThread::MainThread() : thread_([this] { main_.run(); }) {}

MainThread::~MainThread() {
  main_.stop();
  thread_.join();
}

ControlHTTPResponse MainThread::route(const std::shared_ptr<ControlServer>& server,
                                      ControlHTTPRequest request) {
  std::promise<ControlHTTPResponse> answer;
  main_.post([&] {
    common::spawn(main_.executor(),
                  [](std::shared_ptr<ControlServer> s, ControlHTTPRequest r,
                     std::promise<ControlHTTPResponse>* out) -> asio::awaitable<void> {
                    out->set_value(co_await s->route(std::move(r)));
                  }(server, std::move(request), &answer));
  });
  return answer.get_future().get();
}

ControlHTTPRequest makeRequest(std::string method, std::string path, std::string body,
                               std::string peer) {
  ControlHTTPRequest request;
  request.method = std::move(method);
  request.path = std::move(path);
  request.body.assign(body.begin(), body.end());
  request.peer = std::move(peer);
  return request;
}

std::string bodyText(const ControlHTTPResponse& response) {
  return std::string(response.body.begin(), response.body.end());
}

std::string tlsExchange(uint16_t port, const std::string& request) {
  asio::io_context io;
  asio::ssl::context tls(asio::ssl::context::tls_client);
  tls.set_verify_mode(asio::ssl::verify_none);
  asio::ssl::stream<asio::ip::tcp::socket> stream(io, tls);
  stream.lowest_layer().connect({asio::ip::make_address("127.0.0.1"), port});
  stream.handshake(asio::ssl::stream_base::client);
  asio::write(stream, asio::buffer(request));
  std::string received;
  bool done = false;
  asio::async_read(stream, asio::dynamic_buffer(received), [&](std::error_code, size_t) {
    done = true;  // closed by the server, or failed
  });
  io.run_for(std::chrono::seconds(5));
  if (done) return received;
  stream.lowest_layer().close();  // ends the read, keeping what came
  io.run();
  return received + "TIMEOUT";
}

}  // namespace ferrowin::control
