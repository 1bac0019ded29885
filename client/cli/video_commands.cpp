// Video commands: receive the stream over UDP or TCP and print what arrived, or run the bandwidth
// probe.

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "client/cli/commands.h"
#include "client/video/video_client.h"

namespace ferrowin::client::cli {

namespace {

struct StreamOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 52346;
  std::string transport = "udp";
  int seconds = 10;
  int width = 1280;
  int height = 720;
  int fps = 60;
  int bitrate = 12000;
  double drop = 0;
};

void printUdpLine(const char* label, const ReceiverCounters& c, double seconds, uint64_t bytes) {
  std::printf(
      "%s messages=%llu frames=%llu keyframes=%llu lost=%llu fec_recovered=%llu "
      "retransmitted=%llu late=%llu bitrate_kbps=%.0f\n",
      label, static_cast<unsigned long long>(c.messages), static_cast<unsigned long long>(c.frames),
      static_cast<unsigned long long>(c.keyframes), static_cast<unsigned long long>(c.lostMessages),
      static_cast<unsigned long long>(c.recoveredByFec),
      static_cast<unsigned long long>(c.retransmitted), static_cast<unsigned long long>(c.late),
      seconds > 0 ? static_cast<double>(bytes) * 8 / seconds / 1000 : 0.0);
  std::fflush(stdout);
}

void printTcpLine(const char* label, const TcpCounters& c, double seconds, uint64_t bytes) {
  std::printf("%s messages=%llu frames=%llu keyframes=%llu keepalives=%llu bitrate_kbps=%.0f\n",
              label, static_cast<unsigned long long>(c.messages),
              static_cast<unsigned long long>(c.frames),
              static_cast<unsigned long long>(c.keyframes),
              static_cast<unsigned long long>(c.keepalives),
              seconds > 0 ? static_cast<double>(bytes) * 8 / seconds / 1000 : 0.0);
  std::fflush(stdout);
}

template <class Client, class Print>
int runStream(Client& client, const StreamOptions& options, Print print) {
  if (auto started = client.start(); !started) {
    std::fprintf(stderr, "ferrowin-client: %s\n", started.error().c_str());
    return 1;
  }
  uint64_t lastBytes = 0;
  for (int second = 1; second <= options.seconds; ++second) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    client.messages().take();
    const auto counters = client.counters();
    print("second", counters, 1.0, counters.payloadBytes - lastBytes);
    lastBytes = counters.payloadBytes;
  }
  const auto counters = client.counters();
  print("total", counters, static_cast<double>(options.seconds), counters.payloadBytes);
  client.stop();
  return 0;
}

int stream(const StreamOptions& options) {
  VideoClientOptions client;
  client.host = options.host;
  client.port = options.port;
  client.config.width = options.width;
  client.config.height = options.height;
  client.config.fps = options.fps;
  client.config.bitrateKbps = options.bitrate;
  client.dropProbability = options.drop;
  if (options.transport == "tcp") {
    TcpVideoClient tcp(client);
    return runStream(tcp, options, printTcpLine);
  }
  UdpVideoClient udp(client);
  const int status = runStream(udp, options, printUdpLine);
  if (status == 0 && !udp.acknowledged()) {
    std::fprintf(stderr, "ferrowin-client: the host never acknowledged the hello\n");
    return 1;
  }
  return status;
}

int probe(const StreamOptions& options) {
  VideoClientOptions client;
  client.host = options.host;
  client.port = options.port;
  UdpVideoClient udp(client);
  if (auto started = udp.startProbe(); !started) {
    std::fprintf(stderr, "ferrowin-client: %s\n", started.error().c_str());
    return 1;
  }
  // One second of pause, five steps of 1.2 s, and a little for the last datagrams.
  std::this_thread::sleep_for(std::chrono::milliseconds(7500));
  udp.stop();
  const ProbeReport report = udp.probeReport();
  if (report.steps.empty()) {
    std::fprintf(stderr, "ferrowin-client: no probe datagrams arrived\n");
    return 1;
  }
  for (size_t step = 0; step < report.steps.size(); ++step) {
    std::printf("step %zu rate_mbps=%d received=%llu received_mbps=%.1f loss=%.1f%%\n", step,
                10 * static_cast<int>(step + 1),
                static_cast<unsigned long long>(report.steps[step].datagrams),
                report.receivedMbps(step), 100 * report.loss(step));
  }
  std::printf("usable_mbps=%.0f\n", report.usableMbps());
  return 0;
}

void addAddressOptions(CLI::App* command, StreamOptions& options) {
  command->add_option("--host", options.host, "host address")->capture_default_str();
  command->add_option("--port", options.port, "video port")->capture_default_str();
}

}  // namespace

void registerVideoCommands(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<StreamOptions>();
  auto* streamCommand = app.add_subcommand("stream", "receive the video stream and print statistics");
  addAddressOptions(streamCommand, *options);
  streamCommand->add_option("--transport", options->transport, "udp or tcp")
      ->check(CLI::IsMember({"udp", "tcp"}))
      ->capture_default_str();
  streamCommand->add_option("--seconds", options->seconds, "how long to receive")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  streamCommand->add_option("--width", options->width)->capture_default_str();
  streamCommand->add_option("--height", options->height)->capture_default_str();
  streamCommand->add_option("--fps", options->fps)->capture_default_str();
  streamCommand->add_option("--bitrate", options->bitrate, "kbit/s")->capture_default_str();
  streamCommand->add_option("--drop", options->drop, "share of received datagrams to drop (UDP)")
      ->check(CLI::Range(0.0, 1.0));
  streamCommand->callback([&context, options] { context.exitCode = stream(*options); });

  auto probeOptions = std::make_shared<StreamOptions>();
  auto* probeCommand = app.add_subcommand("probe", "measure the path with the host's probe bursts");
  addAddressOptions(probeCommand, *probeOptions);
  probeCommand->callback([&context, probeOptions] { context.exitCode = probe(*probeOptions); });
}

}  // namespace ferrowin::client::cli
