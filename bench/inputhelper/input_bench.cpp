// Two latencies that players feel, each measured beside a baseline in the same iteration:
//
//   GamepadDatagramToDeviceReport: a burst of gamepad datagrams from a loopback client to the UDP
//   input server, through the sequence filter and the generic profile's translation, to the input
//   report arriving at a fake /dev/uhid (a SOCK_SEQPACKET socket read by its own thread). Baseline:
//   the same burst through a bare loopback UDP echo to a receiving thread — the same two hops with
//   no input logic.
//
//   LookThreadPeriod: how far each of the 120 Hz look thread's motion posts lands from the ideal
//   period, beside an empty loop sleeping to the same absolute deadlines.
//
// Reported as p50/p99 in microseconds and their ratios to the baseline.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <asio/ip/udp.hpp>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "common/runtime/main_executor.h"
#include "common/util/log.h"
#include "inputhelper/gamepad_factory.h"
#include "inputhelper/gamepad_server.h"
#include "inputhelper/look_thread.h"
#include "platform/virtual_hid.h"

namespace ferrowin::inputhelper {
namespace {

using asio::ip::udp;

constexpr int kBurst = 256;

double nowMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return NAN;
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
  return values[index];
}

void report(benchmark::State& state, const std::vector<double>& baseline,
            const std::vector<double>& subject) {
  const double b50 = percentile(baseline, 0.5), b99 = percentile(baseline, 0.99);
  const double s50 = percentile(subject, 0.5), s99 = percentile(subject, 0.99);
  state.counters["base_p50_us"] = b50;
  state.counters["base_p99_us"] = b99;
  state.counters["p50_us"] = s50;
  state.counters["p99_us"] = s99;
  state.counters["ratio_p50"] = s50 / b50;
  state.counters["ratio_p99"] = s99 / b99;
}

// Arrival times by index, filled by a receiving thread.
class Arrivals {
 public:
  void reset() {
    std::lock_guard guard(lock_);
    times_.assign(kBurst, 0);
    count_ = 0;
  }
  void record(size_t index) {
    const double t = nowMicros();
    std::lock_guard guard(lock_);
    if (index < times_.size() && times_[index] == 0) {
      times_[index] = t;
      ++count_;
    }
  }
  std::vector<double> waitAll(const std::vector<double>& sent) {
    const double deadline = nowMicros() + 5e6;
    for (;;) {
      {
        std::lock_guard guard(lock_);
        if (count_ == times_.size() || nowMicros() > deadline) {
          std::vector<double> latencies;
          for (size_t i = 0; i < times_.size(); ++i) {
            if (times_[i] != 0) latencies.push_back(times_[i] - sent[i]);
          }
          return latencies;
        }
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

 private:
  std::mutex lock_;
  std::vector<double> times_;
  size_t count_ = 0;
};

// Bare loopback UDP echo: client → echo thread → receiver thread.
class UdpEcho {
 public:
  UdpEcho() {
    echoThread_ = std::thread([this] {
      std::array<uint8_t, 64> buffer;
      udp::endpoint from;
      for (;;) {
        std::error_code ec;
        const size_t n = echo_.receive_from(asio::buffer(buffer), from, 0, ec);
        if (ec || n == 1) return;
        echo_.send_to(asio::buffer(buffer.data(), n), receiver_.local_endpoint(), 0, ec);
      }
    });
    receiveThread_ = std::thread([this] {
      std::array<uint8_t, 64> buffer;
      for (;;) {
        std::error_code ec;
        const size_t n = receiver_.receive(asio::buffer(buffer), 0, ec);
        if (ec || n == 1) return;
        arrivals.record(static_cast<size_t>((buffer[12] | (buffer[13] << 8)) - 1));
      }
    });
  }
  ~UdpEcho() {
    const uint8_t stop = 0;
    client_.send_to(asio::buffer(&stop, 1), echo_.local_endpoint());
    client_.send_to(asio::buffer(&stop, 1), receiver_.local_endpoint());
    echoThread_.join();
    receiveThread_.join();
  }
  void send(const std::array<uint8_t, 21>& datagram) {
    client_.send_to(asio::buffer(datagram), echo_.local_endpoint());
  }
  Arrivals arrivals;

 private:
  asio::io_context context_;
  udp::socket echo_{context_, udp::endpoint(asio::ip::address_v4::loopback(), 0)};
  udp::socket receiver_{context_, udp::endpoint(asio::ip::address_v4::loopback(), 0)};
  udp::socket client_{context_, udp::endpoint(asio::ip::address_v4::loopback(), 0)};
  std::thread echoThread_, receiveThread_;
};

// The kernel side of /dev/uhid, reduced to what the benchmark needs: accept the devices and time
// every input report (struct uhid_event: u32 type, then for UHID_INPUT2 a u16 size and the data).
class SeqpacketKernel {
 public:
  static constexpr size_t kEventSize = 4380;
  static constexpr uint32_t kInput2 = 12;

  SeqpacketKernel() {
    path_ = (std::filesystem::temp_directory_path() /
             ("ferrowin-bench-uhid-" + std::to_string(::getpid())))
                .string();
    ::unlink(path_.c_str());
    listen_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path_.c_str(), sizeof address.sun_path - 1);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listen_, 8);
    acceptThread_ = std::thread([this] {
      for (;;) {
        const int fd = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        std::lock_guard guard(lock_);
        readers_.emplace_back([this, fd] { read(fd); });
      }
    });
  }
  ~SeqpacketKernel() {
    ::shutdown(listen_, SHUT_RDWR);
    ::close(listen_);
    acceptThread_.join();
    for (auto& reader : readers_) reader.join();
    ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }
  Arrivals arrivals;

 private:
  void read(int fd) {
    std::vector<uint8_t> event(kEventSize);
    for (;;) {
      const ssize_t n = ::recv(fd, event.data(), event.size(), 0);
      if (n <= 0) break;
      uint32_t type;
      std::memcpy(&type, event.data(), 4);
      // Generic profile: the report is the client's, whose buttons carry the packet's index + 1.
      if (type == kInput2 && n >= 8) {
        const int buttons = event[6] | (event[7] << 8);
        if (buttons > 0) arrivals.record(static_cast<size_t>(buttons - 1));
      }
    }
    ::close(fd);
  }

  std::string path_;
  int listen_ = -1;
  std::mutex lock_;
  std::thread acceptThread_;
  std::vector<std::thread> readers_;
};

std::array<uint8_t, 21> gamepadDatagram(uint32_t sequence, uint16_t buttons) {
  std::array<uint8_t, 21> d = {0x50, 0x4D, 0x47, 0x56, 1};
  for (int i = 0; i < 4; ++i) d[8 + i] = static_cast<uint8_t>(sequence >> (8 * i));
  d[12] = static_cast<uint8_t>(buttons);
  d[13] = static_cast<uint8_t>(buttons >> 8);
  d[14] = 8;
  d[15] = d[16] = d[17] = d[18] = 0x80;
  return d;
}

template <class Send>
std::vector<double> burst(Arrivals& arrivals, uint32_t& sequence, Send send) {
  arrivals.reset();
  std::vector<double> sent(kBurst);
  for (int i = 0; i < kBurst; ++i) {
    sent[i] = nowMicros();
    send(gamepadDatagram(++sequence, static_cast<uint16_t>(i + 1)));
  }
  return arrivals.waitAll(sent);
}

void GamepadDatagramToDeviceReport(benchmark::State& state) {
  common::logger(common::kServerSubsystem, "gamepad")->set_level(spdlog::level::warn);
  common::logger(common::kServerSubsystem, "virtual-hid")->set_level(spdlog::level::warn);
  SeqpacketKernel kernel;
  ::setenv("FERROWIN_UHID_SOCKET", kernel.path().c_str(), 1);
  UdpEcho echo;

  common::MainExecutor main;
  std::thread mainThread([&] { main.run(); });
  PeerAllowlist allowlist;
  allowlist.replace({"127.0.0.1"});
  asio::io_context context;
  udp::socket probe(context, udp::endpoint(udp::v4(), 0));
  const uint16_t port = probe.local_endpoint().port();
  probe.close();
  std::shared_ptr<GamepadServer> server;
  auto onMain = [&](std::function<void()> work) {
    std::promise<void> done;
    main.post([&] {
      work();
      done.set_value();
    });
    done.get_future().wait();
  };
  onMain([&] {
    server = std::make_shared<GamepadServer>(
        main.context(), main.timers(), common::SteadyClock::instance(), allowlist,
        makeVirtualGamepadFactory(platform::makeUhidBackend()));
    server->setPort(port);
    server->setTimeoutMs(0);
    server->start(common::DeviceProfile::generic, true, false);
  });
  if (!server->isRunning.get()) state.SkipWithError(server->statusMessage.get().c_str());
  udp::socket client(context, udp::endpoint(asio::ip::address_v4::loopback(), 0));
  const udp::endpoint target(asio::ip::address_v4::loopback(), port);

  uint32_t baseSequence = 0, sequence = 0;
  std::vector<double> baseline, subject;
  for (auto _ : state) {
    auto b = burst(echo.arrivals, baseSequence, [&](const auto& d) { echo.send(d); });
    auto s = burst(kernel.arrivals, sequence,
                   [&](const auto& d) { client.send_to(asio::buffer(d), target); });
    baseline.insert(baseline.end(), b.begin(), b.end());
    subject.insert(subject.end(), s.begin(), s.end());
  }
  report(state, baseline, subject);
  // Share of datagrams that arrived within the burst's five-second window.
  const double expected = static_cast<double>(state.iterations() * kBurst);
  state.counters["base_delivered"] = static_cast<double>(baseline.size()) / expected;
  state.counters["delivered"] = static_cast<double>(subject.size()) / expected;
  onMain([&] {
    server->stop();
    server.reset();
  });
  main.stop();
  mainThread.join();
}
BENCHMARK(GamepadDatagramToDeviceReport)->Iterations(20)->Unit(benchmark::kMillisecond);

constexpr double kPeriodMicros = 1e6 / 120;

std::vector<double> jitter(const std::vector<double>& wakes) {
  std::vector<double> out;
  for (size_t i = 1; i < wakes.size(); ++i) {
    out.push_back(std::abs(wakes[i] - wakes[i - 1] - kPeriodMicros));
  }
  return out;
}

// Records when each motion is posted, and keeps the stick fed so the remapper never goes idle.
class TimingMouse final : public MouseInput {
 public:
  explicit TimingMouse(ServerLookRemapper& remapper) : remapper_(remapper) {}
  void handle(const VirtualMousePacket&) override {}
  void postRelative(int16_t, int16_t) override {
    wakes.push_back(nowMicros());
    remapper_.feed(255, 0x80, 0, 0);
  }
  Expected<void, DeviceError> prepareHIDMouse() override { return {}; }
  void teardownHIDMouse() override {}
  void releaseAll() override {}
  std::vector<double> wakes;  // look thread only while it runs

 private:
  ServerLookRemapper& remapper_;
};

void LookThreadPeriod(benchmark::State& state) {
  constexpr int kRounds = 240;  // two seconds
  std::vector<double> baseline, subject;
  for (auto _ : state) {
    std::vector<double> wakes;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    for (int i = 0; i < kRounds; ++i) {
      wakes.push_back(nowMicros());
      deadline.tv_nsec += 8'333'333;
      if (deadline.tv_nsec >= 1'000'000'000) {
        deadline.tv_nsec -= 1'000'000'000;
        ++deadline.tv_sec;
      }
      clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
    }
    auto b = jitter(wakes);
    baseline.insert(baseline.end(), b.begin(), b.end());

    auto remapper = std::make_shared<ServerLookRemapper>(common::SteadyClock::instance());
    remapper->feed(255, 0x80, 0, 0);
    auto mouse = std::make_shared<TimingMouse>(*remapper);
    mouse->wakes.reserve(kRounds * 2);
    LookThread thread(remapper, mouse);
    thread.start();
    std::this_thread::sleep_for(
        std::chrono::microseconds(static_cast<int>(kRounds * kPeriodMicros)));
    thread.stop();
    auto s = jitter(mouse->wakes);
    subject.insert(subject.end(), s.begin(), s.end());
  }
  report(state, baseline, subject);
}
BENCHMARK(LookThreadPeriod)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace ferrowin::inputhelper

BENCHMARK_MAIN();
