#include "tests/support/pipewire_video_source.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#pragma GCC diagnostic pop

#include <cstring>
#include <optional>

namespace ferrowin::testing {

namespace {
constexpr int kCursorSide = 8;
constexpr uint32_t kCursorMetaSize =
    sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + kCursorSide * kCursorSide * 4;
}  // namespace

struct PipeWireVideoSource::State {
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  spa_source* timer = nullptr;
  int width = 0, height = 0;
  uint32_t rgb = 0;
  std::optional<std::pair<int, int>> cursor;

  ~State() {
    if (loop != nullptr) pw_thread_loop_stop(loop);
    if (stream != nullptr) pw_stream_destroy(stream);
    if (core != nullptr) pw_core_disconnect(core);
    if (context != nullptr) pw_context_destroy(context);
    if (loop != nullptr) pw_thread_loop_destroy(loop);
  }

  // The one format offered: BGRx at the current size, 30 frames a second.
  const spa_pod* format(spa_pod_builder& builder) const {
    const spa_rectangle size{uint32_t(width), uint32_t(height)};
    const spa_fraction rate{30, 1};
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType,
        SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw),
        SPA_FORMAT_VIDEO_format, SPA_POD_Id(SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size,
        SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&rate)));
  }

  void paramChanged(uint32_t id, const spa_pod* param) {
    if (param == nullptr || id != SPA_PARAM_Format) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    const int stride = int(info.size.width) * 4;
    uint8_t buffer[512];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const spa_pod* params[2];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * int(info.size.height)),
        SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd)));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size, SPA_POD_Int(kCursorMetaSize)));
    pw_stream_update_params(stream, params, 2);
  }

  void process() {
    pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
    if (buffer == nullptr) return;
    spa_data& data = buffer->buffer->datas[0];
    const uint32_t stride = uint32_t(width) * 4;
    const uint32_t bytes = stride * uint32_t(height);
    if (data.data == nullptr || data.maxsize < bytes) {
      pw_stream_queue_buffer(stream, buffer);
      return;
    }
    auto* pixels = static_cast<uint32_t*>(data.data);
    for (uint32_t i = 0; i < bytes / 4; ++i) pixels[i] = rgb | 0xFF000000u;
    data.chunk->offset = 0;
    data.chunk->size = bytes;
    data.chunk->stride = int32_t(stride);
    if (auto* meta = static_cast<spa_meta_cursor*>(
            spa_buffer_find_meta_data(buffer->buffer, SPA_META_Cursor, kCursorMetaSize))) {
      if (cursor) {
        meta->id = 1;
        meta->position = spa_point{cursor->first, cursor->second};
        meta->hotspot = spa_point{0, 0};
        meta->bitmap_offset = sizeof(spa_meta_cursor);
        auto* bitmap = SPA_PTROFF(meta, meta->bitmap_offset, spa_meta_bitmap);
        bitmap->format = SPA_VIDEO_FORMAT_BGRA;
        bitmap->size = spa_rectangle{kCursorSide, kCursorSide};
        bitmap->stride = kCursorSide * 4;
        bitmap->offset = sizeof(spa_meta_bitmap);
        std::memset(SPA_PTROFF(bitmap, bitmap->offset, void), 0xFF,
                    kCursorSide * kCursorSide * 4);
      } else {
        meta->id = 0;
      }
    }
    pw_stream_queue_buffer(stream, buffer);
  }
};

std::unique_ptr<PipeWireVideoSource> PipeWireVideoSource::publish(int fd, const std::string& name,
                                                                  int width, int height,
                                                                  uint32_t rgb) {
  pw_init(nullptr, nullptr);
  auto state = std::make_unique<State>();
  state->width = width;
  state->height = height;
  state->rgb = rgb;
  state->loop = pw_thread_loop_new("test-video-source", nullptr);
  state->context = pw_context_new(pw_thread_loop_get_loop(state->loop), nullptr, 0);
  if (state->context == nullptr || pw_thread_loop_start(state->loop) < 0) return nullptr;
  pw_thread_loop_lock(state->loop);
  struct Unlock {
    pw_thread_loop* loop;
    ~Unlock() { pw_thread_loop_unlock(loop); }
  } unlock{state->loop};
  state->core = pw_context_connect_fd(state->context, fd, nullptr, 0);
  if (state->core == nullptr) return nullptr;
  state->stream = pw_stream_new(
      state->core, name.c_str(),
      pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME, name.c_str(),
                        nullptr));
  static const pw_stream_events events = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
      static_cast<State*>(data)->paramChanged(id, param);
    };
    e.process = [](void* data) { static_cast<State*>(data)->process(); };
    return e;
  }();
  pw_stream_add_listener(state->stream, &state->listener, &events, state.get());
  uint8_t buffer[512];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[] = {state->format(builder)};
  if (pw_stream_connect(state->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                        pw_stream_flags(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                        params, 1) < 0) {
    return nullptr;
  }
  // As a driver the node produces when told to: 30 times a second.
  state->timer = pw_loop_add_timer(
      pw_thread_loop_get_loop(state->loop),
      [](void* data, uint64_t) { pw_stream_trigger_process(static_cast<State*>(data)->stream); },
      state.get());
  timespec interval{0, 33'333'333};
  pw_loop_update_timer(pw_thread_loop_get_loop(state->loop), state->timer, &interval, &interval,
                       false);
  return std::unique_ptr<PipeWireVideoSource>(new PipeWireVideoSource(std::move(state)));
}

PipeWireVideoSource::PipeWireVideoSource(std::unique_ptr<State> state) : state_(std::move(state)) {}

PipeWireVideoSource::~PipeWireVideoSource() = default;

void PipeWireVideoSource::setColour(uint32_t rgb) {
  pw_thread_loop_lock(state_->loop);
  state_->rgb = rgb;
  pw_thread_loop_unlock(state_->loop);
}

void PipeWireVideoSource::resize(int width, int height) {
  pw_thread_loop_lock(state_->loop);
  state_->width = width;
  state_->height = height;
  uint8_t buffer[512];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  const spa_pod* params[] = {state_->format(builder)};
  pw_stream_update_params(state_->stream, params, 1);
  pw_thread_loop_unlock(state_->loop);
}

void PipeWireVideoSource::showCursor(int x, int y) {
  pw_thread_loop_lock(state_->loop);
  state_->cursor = std::make_pair(x, y);
  pw_thread_loop_unlock(state_->loop);
}

}  // namespace ferrowin::testing
