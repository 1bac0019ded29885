// Video commands: receive the stream over UDP or TCP and print what arrived, or run the bandwidth
// probe.

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "client/cli/commands.h"
#include "client/video/hevc_decoder.h"
#include "client/video/video_client.h"
#include "common/device_profile.h"
#include "common/runtime/clock.h"

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
  std::string gamepad;        // "xbox" or "generic"; empty: no virtual gamepad
  bool remap = false;         // stick-to-mouse look remapping
  std::string saveFrames;     // every decoded frame as PNG
  std::string saveFirstLast;  // the first and the last decoded frame as PNG
  std::string rawVideo;       // luma planes, "-" for standard output
};

/// Decodes every frame the moment its message is complete and keeps the statistics.
class StreamDecoding {
 public:
  explicit StreamDecoding(const StreamOptions& options) : options_(options) {}
  ~StreamDecoding() {
    if (raw_ && raw_ != stdout) std::fclose(raw_);
  }

  Expected<void, std::string> open() {
    if (auto opened = decoder_.open(); !opened) return opened;
    for (const std::string& dir : {options_.saveFrames, options_.saveFirstLast}) {
      std::error_code error;
      if (!dir.empty() && !std::filesystem::create_directories(dir, error) && error) {
        return tl::unexpected("cannot create " + dir + ": " + error.message());
      }
    }
    if (options_.rawVideo == "-") {
      raw_ = stdout;
    } else if (!options_.rawVideo.empty()) {
      raw_ = std::fopen(options_.rawVideo.c_str(), "wb");
      if (!raw_) return tl::unexpected("cannot write " + options_.rawVideo);
    }
    return {};
  }

  /// Where the report lines go: standard error when standard output carries the raw video.
  std::FILE* reportStream() const { return raw_ == stdout ? stderr : stdout; }

  void handle(const ReceivedMessage& message) {
    if (message.kind == video::MessageKind::parameterSets) {
      if (!decoder_.setParameterSets(message.payload)) stats_.recordError();
      return;
    }
    if (message.kind != video::MessageKind::videoFrame) return;
    auto picture =
        decoder_.decode(message.payload, message.flags & video::kKeyframeFlag, message.pts);
    if (!picture) {
      stats_.recordError();
      if (errorsShown_++ < 5)
        std::fprintf(stderr, "ferrowin-client: %s\n", picture.error().c_str());
      return;
    }
    const int64_t now = common::toMicros(common::SteadyClock::instance().now());
    stats_.recordFrame(static_cast<double>(now - static_cast<int64_t>(message.pts)) / 1000.0);
    ++decoded_;
    if (raw_) {
      const auto luma = decoder_.luma();
      std::fwrite(luma.data(), 1, luma.size(), raw_);
    }
    if (!options_.saveFrames.empty()) {
      char name[32];
      std::snprintf(name, sizeof name, "frame-%06llu.png",
                    static_cast<unsigned long long>(decoded_));
      save(std::filesystem::path(options_.saveFrames) / name);
    }
    if (decoded_ == 1 && !options_.saveFirstLast.empty()) {
      save(std::filesystem::path(options_.saveFirstLast) / "first.png");
    }
  }

  void finish() {
    if (decoded_ > 0 && !options_.saveFirstLast.empty()) {
      save(std::filesystem::path(options_.saveFirstLast) / "last.png");
    }
    if (raw_) std::fflush(raw_);
  }

  void print(const char* label, const DecodeStats::Summary& s, double seconds) const {
    std::fprintf(reportStream(),
                 "%s decoded=%llu fps=%.1f decode_errors=%llu latency_ms_p50=%.1f "
                 "latency_ms_p95=%.1f latency_ms_p99=%.1f\n",
                 label, static_cast<unsigned long long>(s.frames),
                 seconds > 0 ? static_cast<double>(s.frames) / seconds : 0.0,
                 static_cast<unsigned long long>(s.errors), s.p50, s.p95, s.p99);
    std::fflush(reportStream());
  }

  DecodeStats& stats() { return stats_; }

 private:
  void save(const std::filesystem::path& path) {
    if (auto written = decoder_.writePng(path); !written) {
      std::fprintf(stderr, "ferrowin-client: %s\n", written.error().c_str());
    }
  }

  const StreamOptions& options_;
  HevcStreamDecoder decoder_;
  DecodeStats stats_;
  std::FILE* raw_ = nullptr;
  uint64_t decoded_ = 0;
  int errorsShown_ = 0;
};

void printUdpLine(std::FILE* out, const char* label, const ReceiverCounters& c, double seconds,
                  uint64_t bytes) {
  std::fprintf(
      out,
      "%s messages=%llu frames=%llu keyframes=%llu lost=%llu fec_recovered=%llu "
      "retransmitted=%llu late=%llu bitrate_kbps=%.0f\n",
      label, static_cast<unsigned long long>(c.messages), static_cast<unsigned long long>(c.frames),
      static_cast<unsigned long long>(c.keyframes), static_cast<unsigned long long>(c.lostMessages),
      static_cast<unsigned long long>(c.recoveredByFec),
      static_cast<unsigned long long>(c.retransmitted), static_cast<unsigned long long>(c.late),
      seconds > 0 ? static_cast<double>(bytes) * 8 / seconds / 1000 : 0.0);
  std::fflush(out);
}

void printTcpLine(std::FILE* out, const char* label, const TcpCounters& c, double seconds,
                  uint64_t bytes) {
  std::fprintf(
      out, "%s messages=%llu frames=%llu keyframes=%llu keepalives=%llu bitrate_kbps=%.0f\n", label,
      static_cast<unsigned long long>(c.messages), static_cast<unsigned long long>(c.frames),
      static_cast<unsigned long long>(c.keyframes), static_cast<unsigned long long>(c.keepalives),
      seconds > 0 ? static_cast<double>(bytes) * 8 / seconds / 1000 : 0.0);
  std::fflush(out);
}

template <class Client, class Print>
int runStream(Client& client, const StreamOptions& options, Print print) {
  StreamDecoding decoding(options);
  if (auto opened = decoding.open(); !opened) {
    std::fprintf(stderr, "ferrowin-client: %s\n", opened.error().c_str());
    return 1;
  }
  if (auto started = client.start(); !started) {
    std::fprintf(stderr, "ferrowin-client: %s\n", started.error().c_str());
    return 1;
  }
  std::FILE* out = decoding.reportStream();
  using SteadyTime = std::chrono::steady_clock;
  const auto begin = SteadyTime::now();
  uint64_t lastBytes = 0;
  size_t seen = 0;
  for (int second = 1; second <= options.seconds; ++second) {
    const auto tick = begin + std::chrono::seconds(second);
    // Wake for every message so each frame is decoded as soon as it is complete.
    while (SteadyTime::now() < tick) {
      const double left = std::chrono::duration<double>(tick - SteadyTime::now()).count();
      client.messages().waitForTotal(seen + 1, std::max(left, 0.0));
      for (const ReceivedMessage& message : client.messages().take()) {
        ++seen;
        decoding.handle(message);
      }
    }
    const auto counters = client.counters();
    print(out, "second", counters, 1.0, counters.payloadBytes - lastBytes);
    decoding.print("second", decoding.stats().takeWindow(), 1.0);
    lastBytes = counters.payloadBytes;
  }
  client.stop();
  for (const ReceivedMessage& message : client.messages().take()) decoding.handle(message);
  decoding.finish();
  const auto counters = client.counters();
  print(out, "total", counters, static_cast<double>(options.seconds), counters.payloadBytes);
  decoding.print("total", decoding.stats().total(), static_cast<double>(options.seconds));
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
  if (auto profile = common::deviceProfileFromText(options.gamepad)) {
    client.config.gamepadEnabled = true;
    client.config.gamepadProfile = *profile;
  }
  client.config.remapToKBMEnabled = options.remap;
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
  auto* streamCommand =
      app.add_subcommand("stream", "receive the video stream and print statistics");
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
  streamCommand
      ->add_option("--gamepad", options->gamepad, "ask for a virtual gamepad: xbox or generic")
      ->check(CLI::IsMember({"xbox", "generic"}));
  streamCommand->add_flag("--remap", options->remap, "ask for stick-to-mouse look remapping");
  streamCommand->add_option("--save-frames", options->saveFrames,
                            "write every decoded frame as PNG into this directory");
  streamCommand->add_option("--save-first-last", options->saveFirstLast,
                            "write the first and the last decoded frame (first.png, last.png)");
  streamCommand->add_option(
      "--raw-video", options->rawVideo,
      "write each decoded frame's luma plane as raw 8-bit gray ('-': stdout)");
  streamCommand->callback([&context, options] { context.exitCode = stream(*options); });

  auto probeOptions = std::make_shared<StreamOptions>();
  auto* probeCommand = app.add_subcommand("probe", "measure the path with the host's probe bursts");
  addAddressOptions(probeCommand, *probeOptions);
  probeCommand->callback([&context, probeOptions] { context.exitCode = probe(*probeOptions); });
}

}  // namespace ferrowin::client::cli
