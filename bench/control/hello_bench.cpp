// POST /v1/auth/hello over a fresh TLS connection per request against the real host, beside the
// same client loop against a bare OpenSSL server (P-256 certificate, fixed answer, one thread) in
// the same run. The ratio of the two rates is what the host's own work costs.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <numeric>
#include <thread>
#include <vector>

#include "client/attest/certificates.h"
#include "tests/integration/host_process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace ferrowin;

const std::string kRequest =
    "POST /v1/auth/hello HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
    "Content-Length: 27\r\nConnection: close\r\n\r\n{\"clientBundleVersion\":\"1\"}";

int connectLoopback(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// One request on one connection, as the client does it; empty when a 200 answer arrived, else
// what went wrong.
std::string helloOnce(SSL_CTX* ctx, uint16_t port) {
  const int fd = connectLoopback(port);
  if (fd < 0) return "connect failed";
  SSL* ssl = SSL_new(ctx);
  SSL_set_fd(ssl, fd);
  const bool connected = SSL_connect(ssl) == 1;
  bool ok = connected && SSL_write(ssl, kRequest.data(), static_cast<int>(kRequest.size())) > 0;
  std::string answer;
  char buffer[4096];
  while (ok) {
    const int n = SSL_read(ssl, buffer, sizeof buffer);
    if (n <= 0) break;
    answer.append(buffer, static_cast<size_t>(n));
  }
  SSL_free(ssl);
  ::close(fd);
  ERR_clear_error();
  if (answer.starts_with("HTTP/1.1 200 ")) return {};
  if (!connected) return "TLS handshake failed";
  return answer.empty() ? "no answer" : "answer: " + answer.substr(0, answer.find('\r'));
}

// The baseline server: accept, handshake, read the request, answer, close.
class RawTlsServer {
 public:
  RawTlsServer() {
    key_ = client::attest::generateKey("prime256v1");
    const std::time_t now = std::time(nullptr);
    cert_ = client::attest::makeCertificate({.commonName = "Ferrowin",
                                             .subjectKey = key_.get(),
                                             .certificateAuthority = false,
                                             .notBefore = now - 60,
                                             .notAfter = now + 86400});
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate(ctx_, cert_.get());
    SSL_CTX_use_PrivateKey(ctx_, key_.get());
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 128);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~RawTlsServer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    thread_.join();
    SSL_CTX_free(ctx_);
  }
  uint16_t port() const { return port_; }

 private:
  void serve() {
    const std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
        "Connection: close\r\n\r\n{}";
    while (!stopping_) {
      const int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      SSL* ssl = SSL_new(ctx_);
      SSL_set_fd(ssl, fd);
      char buffer[4096];
      if (SSL_accept(ssl) == 1 && SSL_read(ssl, buffer, sizeof buffer) > 0)
        SSL_write(ssl, answer.data(), static_cast<int>(answer.size()));
      SSL_shutdown(ssl);
      SSL_free(ssl);
      ::close(fd);
      ERR_clear_error();
    }
  }

  client::attest::KeyPtr key_;
  client::attest::CertPtr cert_;
  SSL_CTX* ctx_ = nullptr;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// Latencies of one side, and the requests that failed.
struct Side {
  std::vector<double> milliseconds;
  size_t failures = 0;
  std::string firstFailure;

  void request(SSL_CTX* ctx, uint16_t port) {
    const auto start = std::chrono::steady_clock::now();
    if (auto failure = helloOnce(ctx, port); !failure.empty() && failures++ == 0)
      firstFailure = failure;
    milliseconds.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  double total() const { return std::accumulate(milliseconds.begin(), milliseconds.end(), 0.0); }
  double percentile(double p) {
    std::sort(milliseconds.begin(), milliseconds.end());
    return milliseconds[std::min(milliseconds.size() - 1,
                                 static_cast<size_t>(p * milliseconds.size()))];
  }
  void report(benchmark::State& state, const std::string& name) {
    // A failed request is counted, not hidden: it says something about the server under load.
    state.counters[name + "_failed"] = static_cast<double>(failures);
    if (failures > 0)
      std::fprintf(stderr, "%s: %zu of %zu requests failed, the first with: %s\n", name.c_str(),
                   failures, milliseconds.size(), firstFailure.c_str());
    state.counters[name + "_per_s"] = 1000.0 * static_cast<double>(milliseconds.size()) / total();
    state.counters[name + "_p50_ms"] = percentile(0.50);
    state.counters[name + "_p99_ms"] = percentile(0.99);
  }
};

// Each iteration makes one request to the bare server and one to the host, so both sides see the
// same machine load; "ratio" is the host's request rate over the bare handshake rate.
void BM_HelloBesideRawHandshake(benchmark::State& state) {
  if (!std::filesystem::exists(testing::serverBinary())) {
    state.SkipWithError("ferrowin-server is not built");
    return;
  }
  static RawTlsServer raw;
  static testing::TempDir data, config;
  static testing::HostProcess host({data.path(), config.path(), std::nullopt, {}, 0});
  static const bool started = host.start();
  if (!started) {
    state.SkipWithError("the host did not start");
    return;
  }
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  Side rawSide, hostSide;
  for (auto _ : state) {
    rawSide.request(ctx, raw.port());
    hostSide.request(ctx, host.port());
  }
  SSL_CTX_free(ctx);
  state.counters["ratio"] = rawSide.total() / hostSide.total();
  rawSide.report(state, "raw");
  hostSide.report(state, "host");
}

BENCHMARK(BM_HelloBesideRawHandshake)->MinTime(5.0)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
