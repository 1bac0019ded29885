#include "platform/linux/pulse_audio_capture.h"

#include <pulse/pulseaudio.h>

#include <cstring>

#include "common/runtime/clock.h"
#include "common/util/log.h"

namespace ferrowin::platform {
namespace {

auto audioLog() { return common::serverLog("audio"); }

constexpr uint32_t kSampleRate = 48000;
constexpr pa_usec_t kFragmentUsec = 10000;

/// One connection to the sound server on its own threaded main loop. Every pa_* call below runs
/// either on the loop's thread (callbacks) or with the loop locked.
class PulseAudioStream final : public AudioCaptureStream {
 public:
  PulseAudioStream(int channels, Delegate delegate)
      : channels_(channels), delegate_(std::move(delegate)) {}

  ~PulseAudioStream() override {
    if (!loop_) return;
    pa_threaded_mainloop_lock(loop_);
    closing_ = true;
    dropStream();
    if (context_) {
      pa_context_set_state_callback(context_, nullptr, nullptr);
      pa_context_set_subscribe_callback(context_, nullptr, nullptr);
      pa_context_disconnect(context_);
      pa_context_unref(context_);
      context_ = nullptr;
    }
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
  }

  Expected<void, AudioCaptureError> open() {
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) return failure(AudioCaptureError::Code::failed, "no main loop");
    pa_threaded_mainloop_set_name(loop_, "ferrowin.pulse");
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_APPLICATION_NAME, "Ferrowin");
    pa_proplist_sets(props, PA_PROP_APPLICATION_ID, "com.zavel.ferrowin.server");
    context_ = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(loop_), "Ferrowin", props);
    pa_proplist_free(props);
    if (!context_) return failure(AudioCaptureError::Code::failed, "no context");
    pa_context_set_state_callback(context_, &PulseAudioStream::contextState, this);
    if (pa_threaded_mainloop_start(loop_) < 0) {
      return failure(AudioCaptureError::Code::failed, "main loop did not start");
    }

    pa_threaded_mainloop_lock(loop_);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      const std::string why = pa_strerror(pa_context_errno(context_));
      pa_threaded_mainloop_unlock(loop_);
      return failure(AudioCaptureError::Code::unavailable, why);
    }
    pa_context_state_t state;
    while ((state = pa_context_get_state(context_)) != PA_CONTEXT_READY &&
           PA_CONTEXT_IS_GOOD(state)) {
      pa_threaded_mainloop_wait(loop_);
    }
    if (state != PA_CONTEXT_READY) {
      const std::string why = pa_strerror(pa_context_errno(context_));
      pa_threaded_mainloop_unlock(loop_);
      return failure(AudioCaptureError::Code::unavailable, why);
    }
    connected_ = true;
    pa_context_set_subscribe_callback(context_, &PulseAudioStream::serverEvent, this);
    pa_operation_unref(
        pa_context_subscribe(context_, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr));
    followDefaultSink();
    pa_threaded_mainloop_unlock(loop_);
    return {};
  }

 private:
  static tl::unexpected<AudioCaptureError> failure(AudioCaptureError::Code code,
                                                   std::string detail) {
    return tl::unexpected(AudioCaptureError{code, std::move(detail)});
  }

  void reportStop(const std::string& detail, AudioCaptureError::Code code) {
    if (closing_ || stopReported_) return;
    stopReported_ = true;
    dropStream();
    if (delegate_.onStop) delegate_.onStop(AudioCaptureError{code, detail});
  }

  static void contextState(pa_context* context, void* user) {
    auto* self = static_cast<PulseAudioStream*>(user);
    const pa_context_state_t state = pa_context_get_state(context);
    if (!PA_CONTEXT_IS_GOOD(state) && self->connected_) {
      self->reportStop(std::string("sound server connection lost: ") +
                           pa_strerror(pa_context_errno(context)),
                       AudioCaptureError::Code::unavailable);
    }
    pa_threaded_mainloop_signal(self->loop_, 0);
  }

  static void serverEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* user) {
    auto* self = static_cast<PulseAudioStream*>(user);
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER) {
      self->followDefaultSink();
    }
  }

  /// Asks for the default sink; a new one gets capture moved to its monitor.
  void followDefaultSink() {
    if (closing_ || stopReported_) return;
    pa_operation* operation = pa_context_get_server_info(
        context_,
        [](pa_context* context, const pa_server_info* info, void* user) {
          auto* self = static_cast<PulseAudioStream*>(user);
          if (!info || self->closing_ || self->stopReported_) return;
          const std::string sink = info->default_sink_name ? info->default_sink_name : "";
          if (sink == self->sink_) return;
          self->sink_ = sink;
          if (sink.empty()) {
            audioLog()->warn("Sound server has no default sink; waiting for one");
            self->dropStream();
            return;
          }
          pa_operation_unref(pa_context_get_sink_info_by_name(
              context, sink.c_str(), &PulseAudioStream::sinkInfo, self));
        },
        this);
    if (operation) pa_operation_unref(operation);
  }

  static void sinkInfo(pa_context*, const pa_sink_info* info, int eol, void* user) {
    auto* self = static_cast<PulseAudioStream*>(user);
    if (eol != 0 || !info || self->closing_ || self->stopReported_) return;
    if (self->sink_ != info->name) return;  // the default moved on meanwhile
    self->record(info->name, info->monitor_source_name);
  }

  void record(const std::string& sink, const std::string& source) {
    dropStream();
    pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, kSampleRate, static_cast<uint8_t>(channels_)};
    pa_channel_map map;
    pa_channel_map_init_extend(&map, sampleFormat.channels, PA_CHANNEL_MAP_DEFAULT);
    stream_ = pa_stream_new(context_, "Ferrowin system audio", &sampleFormat, &map);
    timing_ = Timing::none;
    if (!stream_) {
      return reportStop(std::string("cannot create a record stream: ") +
                            pa_strerror(pa_context_errno(context_)),
                        AudioCaptureError::Code::failed);
    }
    pa_stream_set_read_callback(stream_, &PulseAudioStream::readable, this);
    pa_stream_set_state_callback(stream_, &PulseAudioStream::streamState, this);
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(kFragmentUsec, &sampleFormat));
    const auto flags = static_cast<pa_stream_flags_t>(
        PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_INTERPOLATE_TIMING);
    if (pa_stream_connect_record(stream_, source.c_str(), &attr, flags) < 0) {
      return reportStop(std::string("cannot record ") + source + ": " +
                            pa_strerror(pa_context_errno(context_)),
                        AudioCaptureError::Code::failed);
    }
    audioLog()->info("Capturing system audio from {} (sink {})", source, sink);
  }

  void dropStream() {
    if (!stream_) return;
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
  }

  static void streamState(pa_stream* stream, void* user) {
    auto* self = static_cast<PulseAudioStream*>(user);
    if (pa_stream_get_state(stream) == PA_STREAM_FAILED && stream == self->stream_) {
      self->reportStop(std::string("record stream failed: ") +
                           pa_strerror(pa_context_errno(self->context_)),
                       AudioCaptureError::Code::failed);
    }
  }

  // The latency of a record stream is interpolated from the sound server's last timing report.
  // The report taken when the stream connects predates its first data, so the first chunks
  // would look older than they are by however long the start took (tens of milliseconds, more
  // on a busy machine), and packet times run on from the first buffer's time for the whole
  // session. So the stream asks for a fresh report when data first arrives and delivers nothing
  // until it is in (a few milliseconds of sound).
  static bool timingReady(pa_stream* stream, PulseAudioStream* self) {
    if (self->timing_ == Timing::fresh) return true;
    if (self->timing_ == Timing::none) {
      self->timing_ = Timing::requested;
      pa_operation* update = pa_stream_update_timing_info(stream, &timingUpdated, self);
      if (!update) self->timing_ = Timing::fresh;  // nothing better to wait for
      if (update) pa_operation_unref(update);
    }
    return self->timing_ == Timing::fresh;
  }

  static void timingUpdated(pa_stream* stream, int, void* user) {
    auto* self = static_cast<PulseAudioStream*>(user);
    if (stream == self->stream_) self->timing_ = Timing::fresh;
  }

  static void readable(pa_stream* stream, size_t, void* user) {
    auto* self = static_cast<PulseAudioStream*>(user);
    const size_t frameBytes = sizeof(float) * static_cast<size_t>(self->channels_);
    if (!timingReady(stream, self)) {
      const void* data = nullptr;
      size_t bytes = 0;
      while (pa_stream_readable_size(stream) > 0 && pa_stream_peek(stream, &data, &bytes) == 0 &&
             bytes > 0) {
        pa_stream_drop(stream);
      }
      return;
    }
    while (pa_stream_readable_size(stream) > 0) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      if (!data) {  // a hole in the stream: nothing to deliver
        pa_stream_drop(stream);
        continue;
      }
      const double now = common::SteadyClock::instance().now();
      const size_t frames = bytes / frameBytes;
      // The latency covers everything not yet read, so it dates the first frame of this chunk.
      pa_usec_t latency = 0;
      int negative = 0;
      double delay = static_cast<double>(frames) / kSampleRate;
      if (pa_stream_get_latency(stream, &latency, &negative) == 0) {
        delay = negative ? 0.0 : static_cast<double>(latency) / 1e6;
      }
      AudioSampleBuffer buffer;
      buffer.format = {static_cast<int>(kSampleRate), AudioSampleKind::floatingPoint, 32, true,
                       self->channels_};
      buffer.frames = static_cast<int>(frames);
      const auto* begin = static_cast<const uint8_t*>(data);
      buffer.planes.emplace_back(begin, begin + frames * frameBytes);
      buffer.presentationTime = now - delay;
      pa_stream_drop(stream);
      if (frames > 0 && self->delegate_.onBuffer) self->delegate_.onBuffer(std::move(buffer));
    }
  }

  const int channels_;
  const Delegate delegate_;
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  enum class Timing { none, requested, fresh } timing_ = Timing::none;
  std::string sink_;
  bool connected_ = false;
  bool closing_ = false;
  bool stopReported_ = false;
};

}  // namespace

Expected<std::unique_ptr<AudioCaptureStream>, AudioCaptureError> PulseAudioBackend::start(
    int channels, AudioCaptureStream::Delegate delegate) {
  if (channels < 1 || channels > static_cast<int>(PA_CHANNELS_MAX)) {
    return tl::unexpected(AudioCaptureError{AudioCaptureError::Code::failed,
                                            "unsupported channel count " + std::to_string(channels)});
  }
  auto stream = std::make_unique<PulseAudioStream>(channels, std::move(delegate));
  if (auto opened = stream->open(); !opened) return tl::unexpected(opened.error());
  return stream;
}

}  // namespace ferrowin::platform
