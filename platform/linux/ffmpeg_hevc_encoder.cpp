// HEVC through FFmpeg's libavcodec: a hardware encoder when one opens (NVENC, VA-API, Quick Sync),
// otherwise libx265 tuned for real time. Frames are converted from BGRA on the encoder's thread
// with the BT.709 matrix the stream is tagged with (platform/yuv_conversion.h).

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/video_encoder.h"
#include "platform/yuv_conversion.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/hwcontext.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

namespace ferrowin::platform {

std::optional<EncoderPreference> encoderPreferenceFromText(std::string_view text) {
  if (text == "auto") return EncoderPreference::automatic;
  if (text == "hardware") return EncoderPreference::hardware;
  if (text == "software") return EncoderPreference::software;
  return std::nullopt;
}

std::string_view encoderPreferenceText(EncoderPreference preference) {
  switch (preference) {
    case EncoderPreference::automatic:
      return "auto";
    case EncoderPreference::hardware:
      return "hardware";
    case EncoderPreference::software:
      return "software";
  }
  return "auto";
}

EncoderPreference resolveEncoderPreference(const std::optional<std::string>& commandLine,
                                           const std::optional<std::string>& saved) {
  for (const auto& text : {commandLine, saved}) {
    if (text) {
      if (auto preference = encoderPreferenceFromText(*text)) return *preference;
    }
  }
  return EncoderPreference::automatic;
}

std::string VideoEncoderError::description() const {
  const std::string statusText = std::to_string(status);
  switch (code) {
    case Code::hardwareUnavailable:
      return "Failed to create HEVC encoder: hardware low-latency encoding is unavailable on this "
             "computer (status " +
             statusText + ").";
    case Code::creationFailed:
      return "Failed to create HEVC encoder (status " + statusText + ").";
    case Code::encodeFailed:
      return "HEVC encode failed (status " + statusText + ")";
    case Code::emptyOutput:
      return "HEVC encoder produced no output";
    case Code::cancelled:
      return "HEVC encode cancelled";
  }
  return "HEVC encoder error";
}

namespace {

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
struct BufferDeleter {
  void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using BufferPtr = std::unique_ptr<AVBufferRef, BufferDeleter>;

constexpr int64_t kMaxKeyframeIntervalMicros = 2'000'000;

using Moment = std::chrono::steady_clock::time_point;
double millisecondsBetween(Moment from, Moment to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

struct Candidate {
  const char* name;
  bool hardware;
  AVPixelFormat softwareFormat;  // what the BGRA frames are converted to
  AVHWDeviceType device;         // a device the frames are uploaded to, or NONE
};

constexpr Candidate kHardwareCandidates[] = {
    {"hevc_nvenc", true, AV_PIX_FMT_YUV420P, AV_HWDEVICE_TYPE_NONE},
    {"hevc_vaapi", true, AV_PIX_FMT_NV12, AV_HWDEVICE_TYPE_VAAPI},
    {"hevc_qsv", true, AV_PIX_FMT_NV12, AV_HWDEVICE_TYPE_NONE},
};
constexpr Candidate kSoftware = {"libx265", false, AV_PIX_FMT_YUV420P, AV_HWDEVICE_TYPE_NONE};

// The per-encoder options of the real-time tuning: no B-frames, no lookahead, an I frame on request
// is an IDR (so parameter sets come with it), headers repeated before every keyframe.
void addTuning(const Candidate& candidate, int keyframeInterval, AVDictionary** options) {
  const std::string name = candidate.name;
  if (name == "libx265") {
    av_dict_set(options, "preset", "ultrafast", 0);
    av_dict_set(options, "tune", "zerolatency", 0);
    av_dict_set(options, "forced-idr", "1", 0);
    std::string params = "repeat-headers=1:info=0:log-level=error:bframes=0:rc-lookahead=0";
    if (keyframeInterval > 0) params += ":keyint=" + std::to_string(keyframeInterval);
    av_dict_set(options, "x265-params", params.c_str(), 0);
  } else if (name == "hevc_nvenc") {
    av_dict_set(options, "preset", "p1", 0);
    av_dict_set(options, "tune", "ull", 0);
    av_dict_set(options, "zerolatency", "1", 0);
    av_dict_set(options, "delay", "0", 0);
    av_dict_set(options, "forced-idr", "1", 0);
    av_dict_set(options, "rc", "vbr", 0);
  } else if (name == "hevc_vaapi") {
    av_dict_set(options, "async_depth", "1", 0);
  } else if (name == "hevc_qsv") {
    av_dict_set(options, "preset", "veryfast", 0);
    av_dict_set(options, "async_depth", "1", 0);
    av_dict_set(options, "look_ahead", "0", 0);
    av_dict_set(options, "forced_idr", "1", 0);
  }
}

struct Opened {
  CodecContextPtr context;
  BufferPtr hardwareFrames;  // VA-API surfaces the converted frames are uploaded to
};

Expected<Opened, int> openCandidate(const Candidate& candidate,
                                    const VideoEncoderSettings& settings) {
  const AVCodec* codec = avcodec_find_encoder_by_name(candidate.name);
  if (codec == nullptr) return unexpected(AVERROR_ENCODER_NOT_FOUND);
  CodecContextPtr context(avcodec_alloc_context3(codec));
  if (!context) return unexpected(AVERROR(ENOMEM));

  const int fps = std::max(settings.fps, 1);
  const int keyframeInterval = maxKeyframeIntervalFrames(settings.fps);
  context->width = settings.width;
  context->height = settings.height;
  context->time_base = AVRational{1, 1'000'000};
  context->framerate = AVRational{fps, 1};
  context->pix_fmt = candidate.softwareFormat;
  context->max_b_frames = 0;
  context->gop_size = keyframeInterval > 0 ? keyframeInterval : -1;
  context->bit_rate = int64_t{settings.bitrateKbps} * 1000;
  // At most 1.5 × the average within any one second: a buffer of one second at the peak rate.
  const int64_t capBytes = dataRateLimitBytesPerSecond(settings.bitrateKbps);
  context->rc_max_rate = capBytes * 8;
  context->rc_buffer_size = static_cast<int>(std::min<int64_t>(capBytes * 8, INT32_MAX));
  context->color_primaries =
      settings.colorSpace == EncoderColorSpace::displayP3 ? AVCOL_PRI_SMPTE432 : AVCOL_PRI_BT709;
  context->color_trc = AVCOL_TRC_IEC61966_2_1;
  context->colorspace = AVCOL_SPC_BT709;
  context->color_range = AVCOL_RANGE_MPEG;
  context->flags |= AV_CODEC_FLAG_LOW_DELAY;

  Opened opened;
  if (candidate.device != AV_HWDEVICE_TYPE_NONE) {
    AVBufferRef* device = nullptr;
    if (const int status = av_hwdevice_ctx_create(&device, candidate.device, nullptr, nullptr, 0);
        status < 0) {
      return unexpected(status);
    }
    BufferPtr deviceRef(device);
    BufferPtr frames(av_hwframe_ctx_alloc(device));
    if (!frames) return unexpected(AVERROR(ENOMEM));
    auto* framesContext = reinterpret_cast<AVHWFramesContext*>(frames->data);
    framesContext->format = AV_PIX_FMT_VAAPI;
    framesContext->sw_format = candidate.softwareFormat;
    framesContext->width = settings.width;
    framesContext->height = settings.height;
    framesContext->initial_pool_size = 4;
    if (const int status = av_hwframe_ctx_init(frames.get()); status < 0) return unexpected(status);
    context->pix_fmt = AV_PIX_FMT_VAAPI;
    context->hw_frames_ctx = av_buffer_ref(frames.get());
    opened.hardwareFrames = std::move(frames);
  }

  AVDictionary* options = nullptr;
  addTuning(candidate, keyframeInterval, &options);
  const int status = avcodec_open2(context.get(), codec, &options);
  av_dict_free(&options);
  if (status < 0) return unexpected(status);
  opened.context = std::move(context);
  return opened;
}

// Which hardware encoders open on this machine, found once per process (at a common size): a
// machine without them should not pay for three failed device probes at every new session.
const std::vector<const Candidate*>& workingHardware() {
  static const std::vector<const Candidate*> working = [] {
    std::vector<const Candidate*> found;
    VideoEncoderSettings probe;
    probe.width = 1280;
    probe.height = 720;
    const int level = av_log_get_level();
    av_log_set_level(AV_LOG_QUIET);
    for (const Candidate& candidate : kHardwareCandidates) {
      if (openCandidate(candidate, probe)) found.push_back(&candidate);
    }
    av_log_set_level(level);
    return found;
  }();
  return working;
}

}  // namespace

std::vector<std::string> hardwareHevcEncoders() {
  std::vector<std::string> names;
  for (const Candidate* candidate : workingHardware()) names.emplace_back(candidate->name);
  return names;
}

namespace {

class FfmpegHevcEncoder final : public VideoEncoder {
 public:
  FfmpegHevcEncoder(const Candidate& candidate, Opened opened, EncoderColorSpace colorSpace)
      : candidate_(candidate),
        // The captured pixels are sRGB; a P3 stream gets P3 pixels, as its tags say.
        primaries_(colorSpace == EncoderColorSpace::displayP3 ? OutputPrimaries::displayP3
                                                              : OutputPrimaries::bt709),
        context_(std::move(opened.context)),
        hardwareFrames_(std::move(opened.hardwareFrames)),
        frame_(av_frame_alloc()),
        packet_(av_packet_alloc()) {
    if (!frame_) return;
    frame_->format = candidate.softwareFormat;
    frame_->width = context_->width;
    frame_->height = context_->height;
    buffersReady_ = packet_ && av_frame_get_buffer(frame_.get(), 0) >= 0;
    worker_ = std::thread([this] { run(); });
  }

  ~FfmpegHevcEncoder() override {
    std::deque<Job> dropped;
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      dropped.swap(jobs_);
    }
    wake_.notify_all();
    if (worker_.joinable()) worker_.join();
    for (Job& job : dropped) {
      job.done(unexpected(VideoEncoderError{VideoEncoderError::Code::cancelled, 0}));
    }
    // Closing the encoder frees tens of megabytes (x265's frame buffers) spread over the malloc
    // arenas of the threads that used them; glibc keeps freed arena pages resident, so without a
    // trim every new session left the host a few megabytes larger.
    packet_.reset();
    frame_.reset();
    hardwareFrames_.reset();
    context_.reset();
    malloc_trim(0);
  }

  bool ready() const { return buffersReady_; }

  std::string_view codecName() const override { return candidate_.name; }
  bool isHardware() const override { return candidate_.hardware; }
  // libx265 is tuned for zero latency: one frame thread, so one frame at a time.
  int framesInParallel() const override { return candidate_.hardware ? 2 : 1; }

  void encode(BgraFrame frame, int64_t ptsMicros, bool forceKeyframe, Completion done) override {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(
          Job{std::move(frame), ptsMicros, forceKeyframe, std::move(done), Moment::clock::now()});
    }
    wake_.notify_one();
  }

 private:
  struct Job {
    BgraFrame frame;
    int64_t ptsMicros;
    bool forceKeyframe;
    Completion done;
    Moment queued;
  };

  void run() {
    for (;;) {
      Job job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      const Moment started = Moment::clock::now();
      auto result = encodeOne(job);
      if (result) result->queuedMs = millisecondsBetween(job.queued, started);
      job.frame = {};  // release the captured buffer before answering
      job.done(std::move(result));
    }
  }

  Expected<EncodedPacket, VideoEncoderError> encodeOne(const Job& job) {
    using Code = VideoEncoderError::Code;
    const BgraFrame& source = job.frame;
    if (source.pixels == nullptr || source.width != context_->width ||
        source.height != context_->height || source.stride < source.width * 4) {
      return unexpected(VideoEncoderError{Code::encodeFailed, AVERROR(EINVAL)});
    }
    const Moment begin = Moment::clock::now();
    if (const int status = av_frame_make_writable(frame_.get()); status < 0) {
      return unexpected(VideoEncoderError{Code::encodeFailed, status});
    }
    if (frame_->format == AV_PIX_FMT_NV12) {
      convertBgraToNv12(source, frame_->data[0], frame_->linesize[0], frame_->data[1],
                        frame_->linesize[1], primaries_);
    } else {
      convertBgraToI420(source, frame_->data[0], frame_->linesize[0], frame_->data[1],
                        frame_->linesize[1], frame_->data[2], frame_->linesize[2], primaries_);
    }

    const Moment converted = Moment::clock::now();

    // The 2-second rule holds even when frames come slower than the configured rate.
    const bool force = job.forceKeyframe || !lastKeyframePts_ ||
                       job.ptsMicros - *lastKeyframePts_ >= kMaxKeyframeIntervalMicros;
    if (job.forceKeyframe) ready_.clear();  // held back from before the fresh start
    frame_->pts = job.ptsMicros;
    frame_->pict_type = force ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;

    AVFrame* submitted = frame_.get();
    FramePtr uploaded;
    if (hardwareFrames_) {
      uploaded.reset(av_frame_alloc());
      int status = uploaded ? av_hwframe_get_buffer(hardwareFrames_.get(), uploaded.get(), 0)
                            : AVERROR(ENOMEM);
      if (status >= 0) status = av_hwframe_transfer_data(uploaded.get(), frame_.get(), 0);
      if (status < 0) return unexpected(VideoEncoderError{Code::encodeFailed, status});
      uploaded->pts = frame_->pts;
      uploaded->pict_type = frame_->pict_type;
      submitted = uploaded.get();
    }
    if (const int status = avcodec_send_frame(context_.get(), submitted); status < 0) {
      return unexpected(VideoEncoderError{Code::encodeFailed, status});
    }
    for (;;) {
      const int status = avcodec_receive_packet(context_.get(), packet_.get());
      if (status == AVERROR(EAGAIN)) break;
      if (status < 0) return unexpected(VideoEncoderError{Code::encodeFailed, status});
      EncodedPacket packet;
      packet.keyframe = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
      packet.ptsMicros = packet_->pts;
      packet.annexB.assign(packet_->data, packet_->data + packet_->size);
      av_packet_unref(packet_.get());
      if (packet.keyframe) lastKeyframePts_ = packet.ptsMicros;
      ready_.push_back(std::move(packet));
    }
    // One answer per frame, oldest packet first: an encoder that holds a frame back answers the
    // frame with nothing and the packet goes out with a later answer.
    if (ready_.empty()) return unexpected(VideoEncoderError{Code::emptyOutput, 0});
    EncodedPacket packet = std::move(ready_.front());
    ready_.pop_front();
    packet.convertMs = millisecondsBetween(begin, converted);
    packet.codecMs = millisecondsBetween(converted, Moment::clock::now());
    return packet;
  }

  const Candidate& candidate_;
  OutputPrimaries primaries_;
  CodecContextPtr context_;
  BufferPtr hardwareFrames_;
  FramePtr frame_;
  PacketPtr packet_;
  bool buffersReady_ = false;
  std::deque<EncodedPacket> ready_;
  std::optional<int64_t> lastKeyframePts_;

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job> jobs_;
  bool stopping_ = false;
  std::thread worker_;
};

}  // namespace

Expected<std::unique_ptr<VideoEncoder>, VideoEncoderError> createHevcEncoder(
    const VideoEncoderSettings& settings) {
  static std::once_flag quietOnce;
  std::call_once(quietOnce, [] { av_log_set_level(AV_LOG_ERROR); });

  std::vector<const Candidate*> candidates;
  if (settings.preference != EncoderPreference::software) candidates = workingHardware();
  if (settings.preference != EncoderPreference::hardware) candidates.push_back(&kSoftware);

  int lastStatus = AVERROR_ENCODER_NOT_FOUND;
  if (settings.width > 0 && settings.height > 0 && settings.bitrateKbps > 0) {
    for (const Candidate* candidate : candidates) {
      auto opened = openCandidate(*candidate, settings);
      if (!opened) {
        lastStatus = opened.error();
        continue;
      }
      auto encoder =
          std::make_unique<FfmpegHevcEncoder>(*candidate, std::move(*opened), settings.colorSpace);
      if (!encoder->ready()) {
        lastStatus = AVERROR(ENOMEM);
        continue;
      }
      return encoder;
    }
  } else {
    lastStatus = AVERROR(EINVAL);
  }
  const auto code = settings.preference == EncoderPreference::hardware
                        ? VideoEncoderError::Code::hardwareUnavailable
                        : VideoEncoderError::Code::creationFailed;
  return unexpected(VideoEncoderError{code, lastStatus});
}

}  // namespace ferrowin::platform
