#include "client/video/hevc_decoder.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "protocol/annexb.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace ferrowin::client {

namespace {

std::string avText(int status) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(status, text, sizeof text);
  return text;
}

struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// libpng reports errors with longjmp: the jump stays inside this function, which keeps nothing
// in locals that it could clobber.
bool encodePng(png_structp png, png_infop info, std::FILE* file, const uint8_t* rgb, int width,
               int height) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_init_io(png, file);
  png_set_compression_level(png, 1);  // fast: frames are saved while the stream runs
  png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) png_write_row(png, rgb + static_cast<size_t>(y) * width * 3);
  png_write_end(png, nullptr);
  return true;
}

Expected<void, std::string> writeFramePng(const AVFrame* frame, const std::filesystem::path& path) {
  if (!frame || frame->width <= 0 || frame->height <= 0) {
    return tl::unexpected(std::string("no decoded picture to save"));
  }
  const int width = frame->width, height = frame->height;
  SwsContext* sws =
      sws_getContext(width, height, static_cast<AVPixelFormat>(frame->format), width, height,
                     AV_PIX_FMT_RGB24, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!sws) return tl::unexpected(std::string("cannot convert the picture to RGB"));
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
  uint8_t* planes[1] = {rgb.data()};
  const int strides[1] = {width * 3};
  sws_scale(sws, frame->data, frame->linesize, 0, height, planes, strides);
  sws_freeContext(sws);

  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return tl::unexpected("cannot write " + path.string());
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  bool ok = png && info && encodePng(png, info, file, rgb.data(), width, height);
  png_destroy_write_struct(&png, &info);
  ok = std::fclose(file) == 0 && ok;
  if (!ok) return tl::unexpected("cannot write " + path.string());
  return {};
}

}  // namespace

struct HevcStreamDecoder::State {
  AVCodecContext* context = nullptr;
  AVPacket* packet = nullptr;
  FramePtr frame{av_frame_alloc()};
  FramePtr kept;
  ~State() {
    av_packet_free(&packet);
    avcodec_free_context(&context);
  }
};

HevcStreamDecoder::HevcStreamDecoder() : state_(std::make_unique<State>()) {}
HevcStreamDecoder::~HevcStreamDecoder() = default;

Expected<void, std::string> HevcStreamDecoder::open() {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
  if (!codec) return tl::unexpected(std::string("this FFmpeg has no HEVC decoder"));
  state_->context = avcodec_alloc_context3(codec);
  state_->packet = av_packet_alloc();
  if (!state_->context || !state_->packet || !state_->frame) {
    return tl::unexpected(std::string("out of memory"));
  }
  // One thread and low delay: a picture comes out of the packet that carries it, instead of
  // waiting for frame threads to fill up.
  state_->context->flags |= AV_CODEC_FLAG_LOW_DELAY;
  state_->context->thread_count = 1;
  state_->context->thread_type = 0;
  if (int status = avcodec_open2(state_->context, codec, nullptr); status < 0) {
    return tl::unexpected("cannot open the HEVC decoder: " + avText(status));
  }
  return {};
}

Expected<void, std::string> HevcStreamDecoder::setParameterSets(video::ByteView payload) {
  auto sets = video::parseParameterSetsPayload(payload);
  if (!sets)
    return tl::unexpected("parameter sets: " + std::string(video::description(sets.error())));
  parameterSets_ = std::move(sets->blobs);
  return {};
}

Expected<DecodedPicture, std::string> HevcStreamDecoder::decode(video::ByteView payload,
                                                                bool keyframe, uint64_t pts) {
  if (parameterSets_.empty()) return tl::unexpected(std::string("frame before parameter sets"));
  if (!state_->context) return tl::unexpected(std::string("decoder not open"));
  auto annexB = capture::toAnnexB(
      keyframe || !sentParameterSets_ ? parameterSets_ : std::vector<std::vector<uint8_t>>{},
      payload);
  if (!annexB) return tl::unexpected("frame: " + annexB.error().description());
  sentParameterSets_ = true;
  AVPacket* packet = state_->packet;
  if (av_new_packet(packet, static_cast<int>(annexB->size())) < 0) {
    return tl::unexpected(std::string("out of memory"));
  }
  std::copy(annexB->begin(), annexB->end(), packet->data);
  packet->pts = static_cast<int64_t>(pts);
  if (keyframe) packet->flags |= AV_PKT_FLAG_KEY;
  const int sent = avcodec_send_packet(state_->context, packet);
  av_packet_unref(packet);
  if (sent < 0) return tl::unexpected("decode: " + avText(sent));
  const int received = avcodec_receive_frame(state_->context, state_->frame.get());
  if (received < 0) {
    return tl::unexpected(received == AVERROR(EAGAIN) ? std::string("decode: no picture")
                                                      : "decode: " + avText(received));
  }
  const AVFrame* frame = state_->frame.get();
  return DecodedPicture{frame->width, frame->height, static_cast<uint64_t>(frame->pts)};
}

std::vector<uint8_t> HevcStreamDecoder::luma() const {
  const AVFrame* frame = state_->frame.get();
  std::vector<uint8_t> plane;
  if (!frame || !frame->data[0]) return plane;
  plane.reserve(static_cast<size_t>(frame->width) * frame->height);
  for (int y = 0; y < frame->height; ++y) {
    const uint8_t* row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
    plane.insert(plane.end(), row, row + frame->width);
  }
  return plane;
}

Expected<void, std::string> HevcStreamDecoder::writePng(const std::filesystem::path& path) const {
  return writeFramePng(state_->frame->data[0] ? state_->frame.get() : nullptr, path);
}

void DecodeStats::recordFrame(double latencyMs) {
  window_.push_back(latencyMs);
  all_.push_back(latencyMs);
}

DecodeStats::Summary DecodeStats::takeWindow() {
  Summary summary = summarize(std::move(window_), windowErrors_);
  window_.clear();
  windowErrors_ = 0;
  return summary;
}

DecodeStats::Summary DecodeStats::total() const { return summarize(all_, totalErrors_); }

DecodeStats::Summary DecodeStats::summarize(std::vector<double> latencies, uint64_t errors) {
  Summary summary;
  summary.frames = latencies.size();
  summary.errors = errors;
  if (latencies.empty()) return summary;
  std::sort(latencies.begin(), latencies.end());
  // Nearest rank: the smallest value with at least p % of the values at or below it.
  auto rank = [&](double p) {
    const auto index = static_cast<size_t>(std::ceil(p / 100 * latencies.size()));
    return latencies[std::clamp<size_t>(index, 1, latencies.size()) - 1];
  };
  summary.p50 = rank(50);
  summary.p95 = rank(95);
  summary.p99 = rank(99);
  return summary;
}

}  // namespace ferrowin::client
