// Video commands: receive the stream over UDP or TCP and print what arrived, or run the bandwidth
// probe. Both go to the host paired with last unless --host says otherwise; --port is its control
// port, as everywhere, and the video port is the one after it unless --video-port names another.

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "client/audio/audio_player.h"
#include "client/audio/opus_stream_decoder.h"
#include "client/audio/wav_writer.h"
#include "client/cli/commands.h"
#include "client/control/control_client.h"
#include "client/video/hevc_decoder.h"
#include "client/video/video_client.h"
#include "common/device_profile.h"
#include "common/runtime/clock.h"

namespace ferrowin::client::cli {

namespace {

// How long a stream waits for the host to answer at all, and how long a host that has answered
// may then stay silent (it sends a keepalive every second) before it counts as gone.
constexpr double kAnswerTimeout = 5.0;
constexpr double kSilenceTimeout = 3.0;

std::atomic<bool> interrupted{false};

struct StreamOptions {
  HostOptions host;
  uint16_t videoPort = 0;  // 0: control port + 1
  std::string transport;   // empty: the host's
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
  bool audio = false;         // ask for the host's audio
  int audioChannels = 2;
  int audioBitrate = 64;      // kbit/s
  std::string saveAudio;      // the decoded audio as a WAV file
  bool play = false;          // play the decoded audio through the sound server
  std::string virtualDisplay = "none";  // "none", "extended" or "main"
};

/// Decodes the audio configuration and packets as they arrive, and writes or plays the sound.
class AudioDecoding {
 public:
  explicit AudioDecoding(const StreamOptions& options) : options_(options) {}

  void handle(const ReceivedMessage& message) {
    if (message.kind == video::MessageKind::audioConfig) {
      if (auto configured = decoder_.configure(message.payload); !configured) {
        stats_.recordError();
        report(configured.error());
        return;
      }
      openOutputs();
      return;
    }
    if (message.kind != video::MessageKind::audioPacket) return;
    auto samples = decoder_.decode(message.payload);
    if (!samples) {
      stats_.recordError();
      report(samples.error());
      return;
    }
    const int64_t now = common::toMicros(common::SteadyClock::instance().now());
    stats_.recordPacket(message.pts,
                        static_cast<double>(now - static_cast<int64_t>(message.pts)) / 1000.0,
                        *samples);
    if (wav_.isOpen() && wav_.channels() == decoder_.channels()) wav_.write(*samples);
    if (player_.isOpen() && player_.channels() == decoder_.channels()) player_.play(*samples);
  }

  void finish() {
    player_.close();
    if (auto closed = wav_.close(); !closed) report(closed.error());
  }

  AudioStats& stats() { return stats_; }

 private:
  void openOutputs() {
    const int channels = decoder_.channels();
    if (!options_.saveAudio.empty() && !wav_.isOpen()) {
      if (auto opened = wav_.open(options_.saveAudio, channels, OpusStreamDecoder::kSampleRate);
          !opened) {
        report(opened.error());
      }
    }
    if (options_.play && !player_.isOpen() && !playFailed_) {
      if (auto opened = player_.open(channels); !opened) {
        playFailed_ = true;
        report(opened.error());
      }
    }
  }

  void report(const std::string& text) {
    if (errorsShown_++ < 5) std::fprintf(stderr, "ferrowin-client: %s\n", text.c_str());
  }

  const StreamOptions& options_;
  OpusStreamDecoder decoder_;
  AudioStats stats_;
  WavWriter wav_;
  AudioPlayer player_;
  bool playFailed_ = false;
  int errorsShown_ = 0;
};

int fail(const std::string& message) {
  std::fprintf(stderr, "ferrowin-client: %s\n", message.c_str());
  return 1;
}

bool isTcp(const std::string& transport) { return transport == "tcp"; }

/// Why the host did not answer on its video port, as far as its control port can tell.
std::string whyNoAnswer(ControlClient& control, const std::string& transport, uint16_t videoPort) {
  auto status = control.status();
  if (!status)
    return "the host did not answer, and its control port says: " + describe(status.error());
  if (!status->streamingEnabled) return "the host's video service is not running";
  if (isTcp(status->videoTransport) != isTcp(transport))
    return "the host streams over " + status->videoTransport + ", not " + transport +
           ": leave out --transport, or pass --transport " + status->videoTransport;
  if (status->videoPort != videoPort)
    return "the host's video port is " + std::to_string(status->videoPort) + ", not " +
           std::to_string(videoPort);
  return "the host never answered on video port " + std::to_string(videoPort) +
         " (it may have refused the stream configuration)";
}

/// Whether the host runs the session's virtual gamepad with `profile`.
bool hasGamepad(ControlClient& control, const std::string& profile) {
  auto status = control.status();
  return status && status->gamepadEnabled && status->gamepadProfile == profile;
}

/// Decodes every frame the moment its message is complete and keeps the statistics.
class StreamDecoding {
 public:
  explicit StreamDecoding(const StreamOptions& options) : options_(options), audio_(options) {}
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
    if (message.kind == video::MessageKind::audioConfig ||
        message.kind == video::MessageKind::audioPacket) {
      return audio_.handle(message);
    }
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
    if (picture->width != width_ || picture->height != height_) {
      // The host fits the picture into the size asked for; say what it actually sends.
      width_ = picture->width;
      height_ = picture->height;
      std::fprintf(reportStream(), "size %dx%d (asked for %dx%d)\n", width_, height_,
                   options_.width, options_.height);
    }
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
    audio_.finish();
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

  /// The audio line; the A/V offset is the audio latency's median minus the video's.
  void printAudio(const char* label, const AudioStats::Summary& a,
                  const DecodeStats::Summary& v) const {
    if (!options_.audio) return;
    char offset[32] = "-";
    if (a.packets > 0 && v.frames > 0) std::snprintf(offset, sizeof offset, "%.1f", a.p50 - v.p50);
    std::fprintf(reportStream(),
                 "%s audio_packets=%llu audio_decode_errors=%llu audio_missing=%llu "
                 "audio_peak=%.4f audio_latency_ms_p50=%.1f audio_latency_ms_p95=%.1f "
                 "audio_latency_ms_p99=%.1f av_offset_ms=%s\n",
                 label, static_cast<unsigned long long>(a.packets),
                 static_cast<unsigned long long>(a.errors),
                 static_cast<unsigned long long>(a.missing), static_cast<double>(a.peak), a.p50,
                 a.p95, a.p99, offset);
    std::fflush(reportStream());
  }

  DecodeStats& stats() { return stats_; }
  uint64_t decoded() const { return decoded_; }
  AudioStats& audioStats() { return audio_.stats(); }

 private:
  void save(const std::filesystem::path& path) {
    if (auto written = decoder_.writePng(path); !written) {
      std::fprintf(stderr, "ferrowin-client: %s\n", written.error().c_str());
    }
  }

  const StreamOptions& options_;
  HevcStreamDecoder decoder_;
  DecodeStats stats_;
  AudioDecoding audio_;
  std::FILE* raw_ = nullptr;
  uint64_t decoded_ = 0;
  int width_ = 0, height_ = 0;
  int errorsShown_ = 0;
};

// The counters a report line shows; a per-second line shows the difference of two snapshots.
ReceiverCounters operator-(ReceiverCounters a, const ReceiverCounters& b) {
  a.messages -= b.messages, a.frames -= b.frames, a.keyframes -= b.keyframes;
  a.lostMessages -= b.lostMessages, a.recoveredByFec -= b.recoveredByFec;
  a.retransmitted -= b.retransmitted, a.late -= b.late, a.payloadBytes -= b.payloadBytes;
  return a;
}

TcpCounters operator-(TcpCounters a, const TcpCounters& b) {
  a.messages -= b.messages, a.frames -= b.frames, a.keyframes -= b.keyframes;
  a.keepalives -= b.keepalives, a.payloadBytes -= b.payloadBytes;
  return a;
}

void printLine(std::FILE* out, const char* label, const ReceiverCounters& c, double seconds) {
  std::fprintf(
      out,
      "%s messages=%llu frames=%llu keyframes=%llu lost=%llu fec_recovered=%llu "
      "retransmitted=%llu late=%llu bitrate_kbps=%.0f\n",
      label, static_cast<unsigned long long>(c.messages), static_cast<unsigned long long>(c.frames),
      static_cast<unsigned long long>(c.keyframes), static_cast<unsigned long long>(c.lostMessages),
      static_cast<unsigned long long>(c.recoveredByFec),
      static_cast<unsigned long long>(c.retransmitted), static_cast<unsigned long long>(c.late),
      seconds > 0 ? static_cast<double>(c.payloadBytes) * 8 / seconds / 1000 : 0.0);
  std::fflush(out);
}

void printLine(std::FILE* out, const char* label, const TcpCounters& c, double seconds) {
  std::fprintf(
      out, "%s messages=%llu frames=%llu keyframes=%llu keepalives=%llu bitrate_kbps=%.0f\n", label,
      static_cast<unsigned long long>(c.messages), static_cast<unsigned long long>(c.frames),
      static_cast<unsigned long long>(c.keyframes), static_cast<unsigned long long>(c.keepalives),
      seconds > 0 ? static_cast<double>(c.payloadBytes) * 8 / seconds / 1000 : 0.0);
  std::fflush(out);
}

// What a running stream can tell about its host after `elapsed` seconds.
enum class Trouble { none, noAnswer, silent, closed };

Trouble trouble(UdpVideoClient& client, double elapsed) {
  if (!client.acknowledged()) return elapsed < kAnswerTimeout ? Trouble::none : Trouble::noAnswer;
  const auto heard = client.lastHeard();
  if (heard && common::SteadyClock::instance().now() - *heard > kSilenceTimeout)
    return Trouble::silent;
  return Trouble::none;
}

Trouble trouble(TcpVideoClient& client, double elapsed) {
  const auto counters = client.counters();
  if (counters.messages == 0)
    return counters.closed || elapsed >= kAnswerTimeout ? Trouble::noAnswer : Trouble::none;
  return counters.closed ? Trouble::closed : Trouble::none;
}

template <class Client>
int runStream(Client& client, ControlClient& control, const StreamOptions& options,
              const std::string& transport, uint16_t videoPort) {
  StreamDecoding decoding(options);
  if (auto opened = decoding.open(); !opened) return fail(opened.error());
  if (auto started = client.start(); !started) {
    return fail(started.error() + "; " + whyNoAnswer(control, transport, videoPort));
  }
  std::FILE* out = decoding.reportStream();
  using SteadyTime = std::chrono::steady_clock;
  const auto begin = SteadyTime::now();
  auto last = client.counters();
  size_t seen = 0;
  Trouble problem = Trouble::none;
  bool noGamepad = false;
  int second = 0;
  while (second < options.seconds && problem == Trouble::none && !interrupted) {
    const auto tick = begin + std::chrono::seconds(second + 1);
    // Wake for every message so each frame is decoded as soon as it is complete.
    while (SteadyTime::now() < tick && !interrupted) {
      const double left = std::chrono::duration<double>(tick - SteadyTime::now()).count();
      client.messages().waitForTotal(seen + 1, std::clamp(left, 0.0, 0.1));
      for (const ReceivedMessage& message : client.messages().take()) {
        ++seen;
        decoding.handle(message);
      }
    }
    if (interrupted) break;
    ++second;
    const auto counters = client.counters();
    printLine(out, "second", counters - last, 1.0);
    const auto video = decoding.stats().takeWindow();
    decoding.print("second", video, 1.0);
    decoding.printAudio("second", decoding.audioStats().takeWindow(), video);
    last = counters;
    problem = trouble(client, std::chrono::duration<double>(SteadyTime::now() - begin).count());
    // The helper starts (or fails) within a moment of the configuration: ask once.
    if (!options.gamepad.empty() && second == std::min(2, options.seconds) &&
        problem == Trouble::none)
      noGamepad = !hasGamepad(control, options.gamepad);
  }
  client.stop();
  for (const ReceivedMessage& message : client.messages().take()) decoding.handle(message);
  decoding.finish();
  const double elapsed = std::chrono::duration<double>(SteadyTime::now() - begin).count();
  printLine(out, "total", client.counters(), elapsed);
  decoding.print("total", decoding.stats().total(), elapsed);
  decoding.printAudio("total", decoding.audioStats().total(), decoding.stats().total());
  switch (problem) {
    case Trouble::noAnswer:
      return fail(whyNoAnswer(control, transport, videoPort));
    case Trouble::silent:
      return fail("the host stopped sending after " + std::to_string(second) +
                  " s (it went away?)");
    case Trouble::closed:
      return fail("the host closed the connection after " + std::to_string(second) +
                  " s (it went away?)");
    case Trouble::none:
      break;
  }
  if (interrupted) return 130;
  if (decoding.decoded() == 0) return fail("no frame was decoded");
  if (noGamepad)
    return fail("the session has no " + options.gamepad +
                " gamepad: the host could not start it (its log says why)");
  return 0;
}

// Ctrl-C ends the stream with its totals printed.
class InterruptScope {
 public:
  InterruptScope() {
    interrupted = false;
    previous_ = std::signal(SIGINT, [](int) { interrupted = true; });
  }
  ~InterruptScope() { std::signal(SIGINT, previous_); }

 private:
  void (*previous_)(int);
};

int stream(CLI::App& app, CLI::App* command, const StreamOptions& options) {
  const auto dir = stateDir(app);
  auto host = hostFor(dir, options.host, command);
  if (!host) return 1;
  ControlClient control(*host, dir);
  std::string transport = options.transport;
  if (transport.empty()) {
    auto status = control.status();
    if (!status)
      return fail("cannot ask the host for its video transport: " + describe(status.error()));
    transport = status->videoTransport;
  }
  VideoClientOptions client;
  client.host = host->host;
  client.port = options.videoPort ? options.videoPort : static_cast<uint16_t>(host->port + 1);
  client.config.width = options.width;
  client.config.height = options.height;
  client.config.fps = options.fps;
  client.config.bitrateKbps = options.bitrate;
  if (auto profile = common::deviceProfileFromText(options.gamepad)) {
    client.config.gamepadEnabled = true;
    client.config.gamepadProfile = *profile;
  }
  client.config.remapToKBMEnabled = options.remap;
  if (options.virtualDisplay == "extended") {
    client.config.virtualDisplay = capture::VirtualDisplayChoice::extended;
  } else if (options.virtualDisplay == "main") {
    client.config.virtualDisplay = capture::VirtualDisplayChoice::main;
  }
  client.config.audioEnabled = options.audio;
  client.config.audioChannels = options.audioChannels;
  client.config.audioBitrateKbps = options.audioBitrate;
  client.dropProbability = options.drop;
  InterruptScope interrupt;
  if (isTcp(transport)) {
    TcpVideoClient tcp(client);
    return runStream(tcp, control, options, transport, client.port);
  }
  UdpVideoClient udp(client);
  return runStream(udp, control, options, transport, client.port);
}

int probe(CLI::App& app, CLI::App* command, const StreamOptions& options) {
  const auto dir = stateDir(app);
  auto host = hostFor(dir, options.host, command);
  if (!host) return 1;
  VideoClientOptions client;
  client.host = host->host;
  client.port = options.videoPort ? options.videoPort : static_cast<uint16_t>(host->port + 1);
  UdpVideoClient udp(client);
  if (auto started = udp.startProbe(); !started) return fail(started.error());
  // One second of pause, five steps of 1.2 s, and a little for the last datagrams.
  std::this_thread::sleep_for(std::chrono::milliseconds(7500));
  udp.stop();
  const ProbeReport report = udp.probeReport();
  if (report.steps.empty()) {
    ControlClient control(*host, dir);
    return fail("no probe datagrams arrived: " + whyNoAnswer(control, "udp_arq", client.port));
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
  addHostOptions(command, options.host, /*required=*/false);
  command->add_option("--video-port", options.videoPort, "video port (default: control port + 1)")
      ->check(CLI::Range(1, 65535));
}

}  // namespace

void registerVideoCommands(CLI::App& app, CommandContext& context) {
  auto options = std::make_shared<StreamOptions>();
  auto* streamCommand =
      app.add_subcommand("stream", "receive the video stream and print statistics");
  addAddressOptions(streamCommand, *options);
  streamCommand
      ->add_option("--transport", options->transport,
                   "tcp, udp_arq or udp_fec (default: the one the host uses)")
      ->check(CLI::IsMember({"tcp", "udp_arq", "udp_fec"}));
  streamCommand->add_option("--seconds", options->seconds, "how long to receive (1-86400)")
      ->check(CLI::Range(1, 86400))
      ->capture_default_str();
  streamCommand->add_option("--width", options->width)
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  streamCommand->add_option("--height", options->height)
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  streamCommand->add_option("--fps", options->fps)
      ->check(CLI::Range(1, 240))
      ->capture_default_str();
  streamCommand->add_option("--bitrate", options->bitrate, "kbit/s")
      ->check(CLI::Range(1, 1000000))
      ->capture_default_str();
  streamCommand->add_option("--drop", options->drop, "share of received datagrams to drop (UDP)")
      ->check(CLI::Range(0.0, 1.0));
  streamCommand
      ->add_option("--gamepad", options->gamepad, "ask for a virtual gamepad: xbox or generic")
      ->check(CLI::IsMember({"xbox", "generic"}));
  streamCommand->add_flag("--remap", options->remap, "ask for stick-to-mouse look remapping");
  streamCommand
      ->add_option("--virtual-display", options->virtualDisplay,
                   "ask for a display of the stream's size: none, extended (beside the host's "
                   "displays) or main")
      ->check(CLI::IsMember({"none", "extended", "main"}))
      ->capture_default_str();
  streamCommand->add_option("--save-frames", options->saveFrames,
                            "write every decoded frame as PNG into this directory");
  streamCommand->add_option("--save-first-last", options->saveFirstLast,
                            "write the first and the last decoded frame (first.png, last.png)");
  streamCommand->add_option(
      "--raw-video", options->rawVideo,
      "write each decoded frame's luma plane as raw 8-bit gray ('-': stdout)");
  streamCommand->add_flag("--audio", options->audio, "ask for the host's system audio (Opus)");
  streamCommand->add_option("--audio-channels", options->audioChannels, "1 or 2")
      ->check(CLI::Range(1, 2))
      ->capture_default_str();
  streamCommand->add_option("--audio-bitrate", options->audioBitrate, "kbit/s")
      ->check(CLI::Range(1, 65535))
      ->capture_default_str();
  streamCommand->add_option("--save-audio", options->saveAudio, "write the decoded audio as WAV");
  streamCommand->add_flag("--play", options->play, "play the decoded audio through the sound server");
  streamCommand->callback([&app, &context, options, streamCommand] {
    if ((!options->saveAudio.empty() || options->play) && !options->audio) {
      std::fprintf(stderr, "ferrowin-client: --save-audio and --play need --audio\n");
      context.exitCode = 2;
      return;
    }
    context.exitCode = stream(app, streamCommand, *options);
  });

  auto probeOptions = std::make_shared<StreamOptions>();
  auto* probeCommand = app.add_subcommand("probe", "measure the path with the host's probe bursts");
  addAddressOptions(probeCommand, *probeOptions);
  probeCommand->callback([&app, &context, probeOptions, probeCommand] {
    context.exitCode = probe(app, probeCommand, *probeOptions);
  });
  for (auto* command : {streamCommand, probeCommand}) command->fallthrough();
}

}  // namespace ferrowin::client::cli
