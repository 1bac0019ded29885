// The real host under a flood of connections that never finish: the client pairs and reads its
// status as if nothing were happening.
//
// FERROWIN_FLOOD_SECONDS lengthens the flood (default 6 s); FERROWIN_FLOOD_BOUND is the slowest
// answer accepted (default 5 s: a loaded machine or a sanitized build must not fail the test; the
// figures printed are what to look at, well under a second in an ordinary build).

#include <gtest/gtest.h>

#include <algorithm>
#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "client/attest/dev_authority.h"
#include "client/control/control_client.h"
#include "client/control/pairing.h"
#include "tests/integration/host_process.h"
#include "tests/support/temp_dir.h"

namespace ferrowin::testing {
namespace {

double envSeconds(const char* name, double fallback) {
  const char* value = std::getenv(name);
  return value ? std::atof(value) : fallback;
}

// `slots` connections from 127.0.0.2 .. 127.0.0.(1 + addresses), each reopened a moment after
// the host closes it. A third stop before the TLS handshake, a third after a partial TLS record,
// a third after the handshake with half a request.
class ConnectionFlood {
 public:
  ConnectionFlood(uint16_t port, int slots, int addresses) : port_(port) {
    tls_.set_verify_mode(asio::ssl::verify_none);
    for (int i = 0; i < slots; ++i)
      slots_.push_back(
          std::make_unique<Slot>(io_, "127.0.0." + std::to_string(2 + i % addresses), i % 3));
    for (auto& slot : slots_) open(*slot);
    thread_ = std::thread([this] { io_.run(); });
  }
  ~ConnectionFlood() {
    io_.stop();
    thread_.join();
  }
  int open() const { return open_; }
  int renewed() const { return renewed_; }

 private:
  struct Slot {
    Slot(asio::io_context& io, std::string address, int stallKind)
        : from(std::move(address)), kind(stallKind), timer(io) {}
    std::string from;
    int kind;
    std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket>> stream;
    asio::steady_timer timer;
    std::array<char, 256> sink;
  };

  void open(Slot& slot) {
    slot.stream = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket>>(io_, tls_);
    auto& socket = slot.stream->lowest_layer();
    std::error_code error;
    socket.open(asio::ip::tcp::v4(), error);
    socket.bind({asio::ip::make_address(slot.from), 0}, error);
    if (error) return renew(slot);
    socket.async_connect({asio::ip::make_address("127.0.0.1"), port_},
                         [this, &slot](const std::error_code& failed) {
                           if (failed) return renew(slot);
                           ++open_;
                           stall(slot);
                         });
  }

  void stall(Slot& slot) {
    static const std::string partialRecord("\x16\x03\x01\x02\x00\x01", 6);
    static const std::string halfRequest = "GET /v1/status HTTP/1.1\r\nHost: x\r\n";
    switch (slot.kind) {
      case 0:
        return watch(slot);
      case 1:
        asio::write(slot.stream->next_layer(), asio::buffer(partialRecord));
        return watch(slot);
      default:
        slot.stream->async_handshake(
            asio::ssl::stream_base::client, [this, &slot](const std::error_code& failed) {
              if (failed) return closed(slot);
              asio::async_write(*slot.stream, asio::buffer(halfRequest),
                                [this, &slot](auto, size_t) { watch(slot); });
            });
    }
  }

  // Waits for the host to close the connection.
  void watch(Slot& slot) {
    slot.stream->next_layer().async_read_some(asio::buffer(slot.sink),
                                              [this, &slot](const std::error_code& error, size_t) {
                                                if (error) return closed(slot);
                                                watch(slot);
                                              });
  }

  void closed(Slot& slot) {
    --open_;
    ++renewed_;
    renew(slot);
  }

  void renew(Slot& slot) {
    slot.timer.expires_after(std::chrono::milliseconds(500));
    slot.timer.async_wait([this, &slot](const std::error_code& error) {
      if (!error) open(slot);
    });
  }

  uint16_t port_;
  asio::io_context io_;
  asio::ssl::context tls_{asio::ssl::context::tls_client};
  std::vector<std::unique_ptr<Slot>> slots_;
  std::atomic<int> open_ = 0;
  std::atomic<int> renewed_ = 0;
  std::thread thread_;
};

template <class F>
double timed(F work) {
  const auto started = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

TEST(ConnectionFlood, ThePairedClientIsServedThroughFiveHundredStalledConnections) {
  TempDir data, config, state;
  auto authority = client::attest::DevAttestAuthority::open(state.path(), true).value();
  HostProcess host({data.path(), config.path(), authority.rootCertificatePath(), {}, 0, {}});
  ASSERT_TRUE(host.start()) << host.log();

  const double floodSeconds = envSeconds("FERROWIN_FLOOD_SECONDS", 6.0);
  const double bound = envSeconds("FERROWIN_FLOOD_BOUND", 5.0);
  ConnectionFlood flood(host.port(), 500, 10);
  // Let the flood fill the host's table before the client arrives.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ASSERT_GT(flood.renewed(), 0) << "the flood never filled the host's connection table";

  client::ControlClient control({"127.0.0.1", host.port()}, state.path(), 10.0, true);
  const std::string code = host.pairingCode();
  const double pairing = timed([&] {
    auto paired = client::pairWithHost(control, authority, state.path(), code);
    ASSERT_TRUE(paired) << paired.error().description();
  });
  EXPECT_LT(pairing, 2 * bound) << "pairing is two requests";

  std::vector<double> status;
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(floodSeconds);
  while (std::chrono::steady_clock::now() < end) {
    status.push_back(timed([&] {
      auto answer = control.request("GET", "/v1/status", "");
      ASSERT_TRUE(answer) << answer.error().description();
      EXPECT_EQ(answer->status, 200) << answer->body;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::sort(status.begin(), status.end());
  const double median = status[status.size() / 2], slowest = status.back();
  std::printf(
      "connection flood: %d connections held open, %d renewed; pairing %.3f s, "
      "%zu status requests: median %.3f s, slowest %.3f s\n",
      flood.open(), flood.renewed(), pairing, status.size(), median, slowest);
  EXPECT_LT(slowest, bound);
}

}  // namespace
}  // namespace ferrowin::testing
