#include "platform/linux/pipewire_capture.h"

#include <fcntl.h>
#include <unistd.h>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#pragma GCC diagnostic pop

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "common/runtime/serial_queue.h"
#include "platform/capture_frames.h"
#include "platform/linux/pipewire_frames.h"

namespace ferrowin::platform {

namespace {

using pipewire::CursorState;
using pipewire::PixelLayout;

CaptureError unavailable(const std::string& detail) {
  return CaptureError{CaptureError::Code::unavailable, detail};
}

// A still picture is delivered again this often, so the encoder's periodic keyframes go on.
constexpr double kStillRefreshSeconds = 1.0;
// How long a screenshot or a size probe waits for the node's first picture.
constexpr auto kFirstPictureTimeout = std::chrono::seconds(3);

// The thread loop and its one connection, shared by the backend and its streams. Everything
// PipeWire calls back runs on the loop's thread with the loop lock held; other threads take the
// lock (Lock) before touching PipeWire objects.
class PipeWireConnection {
 public:
  static Expected<std::shared_ptr<PipeWireConnection>, CaptureError> open(
      const PipeWireRemote& remote) {
    static std::once_flag initialised;
    std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
    auto connection = std::shared_ptr<PipeWireConnection>(new PipeWireConnection());
    connection->keepAlive_ = remote.keepAlive;
    connection->loop_ = pw_thread_loop_new("ferrowin-pipewire", nullptr);
    if (connection->loop_ == nullptr) return unexpected(unavailable("no PipeWire loop"));
    connection->context_ = pw_context_new(pw_thread_loop_get_loop(connection->loop_), nullptr, 0);
    if (connection->context_ == nullptr) return unexpected(unavailable("no PipeWire context"));
    if (pw_thread_loop_start(connection->loop_) < 0) {
      return unexpected(unavailable("the PipeWire loop did not start"));
    }
    Lock lock(*connection);
    if (remote.fd >= 0) {
      const int fd = fcntl(remote.fd, F_DUPFD_CLOEXEC, 3);
      if (fd >= 0) connection->core_ = pw_context_connect_fd(connection->context_, fd, nullptr, 0);
    } else {
      connection->core_ = pw_context_connect(connection->context_, nullptr, 0);
    }
    if (connection->core_ == nullptr) {
      return unexpected(unavailable(std::string("PipeWire cannot be reached: ") +
                                    std::strerror(errno)));
    }
    static const pw_core_events events = [] {
      pw_core_events e{};
      e.version = PW_VERSION_CORE_EVENTS;
      e.error = [](void* data, uint32_t id, int, int res, const char*) {
        auto* self = static_cast<PipeWireConnection*>(data);
        if (id != PW_ID_CORE || res != -EPIPE) return;
        self->broken_ = true;
        self->end(false, "the PipeWire connection broke");
      };
      return e;
    }();
    pw_core_add_listener(connection->core_, &connection->coreListener_, &events,
                         connection.get());
    return connection;
  }

  // Reports the end of the cast once `nodes` leave the registry (see PipeWireRemote::onEnded).
  void watchNodes(std::vector<uint32_t> nodes,
                  std::function<void(bool, const std::string&)> onEnded) {
    if (!onEnded) return;
    Lock lock(*this);
    watchedNodes_ = std::move(nodes);
    onEnded_ = std::move(onEnded);
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    static const pw_registry_events events = [] {
      pw_registry_events e{};
      e.version = PW_VERSION_REGISTRY_EVENTS;
      e.global_remove = [](void* data, uint32_t id) {
        auto* self = static_cast<PipeWireConnection*>(data);
        const auto& watched = self->watchedNodes_;
        if (std::find(watched.begin(), watched.end(), id) != watched.end()) {
          self->end(true, "the screen cast's node went away");
        }
      };
      return e;
    }();
    pw_registry_add_listener(registry_, &registryListener_, &events, this);
  }

  ~PipeWireConnection() {
    if (loop_ != nullptr) pw_thread_loop_stop(loop_);
    if (registry_ != nullptr) {
      spa_hook_remove(&registryListener_);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
    if (core_ != nullptr) {
      spa_hook_remove(&coreListener_);
      pw_core_disconnect(core_);
    }
    if (context_ != nullptr) pw_context_destroy(context_);
    if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
  }

  class Lock {
   public:
    explicit Lock(PipeWireConnection& connection) : loop_(connection.loop_) {
      pw_thread_loop_lock(loop_);
    }
    ~Lock() { pw_thread_loop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pw_thread_loop* loop_;
  };

  pw_core* core() const { return core_; }
  bool broken() const { return broken_; }

 private:
  PipeWireConnection() = default;

  // On the loop thread.
  void end(bool revoked, const std::string& why) {
    if (!onEnded_) return;
    auto onEnded = std::move(onEnded_);
    onEnded_ = nullptr;
    onEnded(revoked, why);
  }

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  spa_hook coreListener_{};
  std::atomic<bool> broken_{false};
  pw_registry* registry_ = nullptr;
  spa_hook registryListener_{};
  std::vector<uint32_t> watchedNodes_;
  std::function<void(bool, const std::string&)> onEnded_;
  std::shared_ptr<void> keepAlive_;
};

// The displays and what streams have learnt of their sizes; the display change handler.
class SourceTable {
 public:
  explicit SourceTable(std::vector<PipeWireSource> sources) : sources_(std::move(sources)) {}

  std::vector<PipeWireSource> sources() const {
    std::lock_guard lock(mutex_);
    return sources_;
  }

  std::optional<PipeWireSource> find(uint32_t displayId) const {
    std::lock_guard lock(mutex_);
    for (const PipeWireSource& source : sources_) {
      if (source.displayId == displayId) return source;
    }
    return std::nullopt;
  }

  // A stream saw the node's size. A size that differs from one known before is a display change.
  void learnSize(uint32_t displayId, int width, int height) {
    bool changed = false;
    {
      std::lock_guard lock(mutex_);
      for (PipeWireSource& source : sources_) {
        if (source.displayId != displayId) continue;
        if (source.frame.width == width && source.frame.height == height) return;
        changed = source.frame.width > 0 && source.frame.height > 0;
        source.frame.width = width;
        source.frame.height = height;
      }
    }
    if (changed) {
      std::lock_guard lock(handlerMutex_);
      if (handler_) handler_();
    }
  }

  void setHandler(std::function<void()> handler) {
    std::lock_guard lock(handlerMutex_);
    handler_ = std::move(handler);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<PipeWireSource> sources_;
  std::mutex handlerMutex_;
  std::function<void()> handler_;
};

struct CursorMetaSize {
  static constexpr int of(int side) {
    return int(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap)) + side * side * 4;
  }
};

class PipeWireStream final : public CaptureStream {
 public:
  PipeWireStream(std::shared_ptr<PipeWireConnection> connection,
                 std::shared_ptr<SourceTable> table, PipeWireSource source,
                 CaptureStreamConfiguration configuration, Delegate delegate)
      : connection_(std::move(connection)),
        table_(std::move(table)),
        source_(std::move(source)),
        configuration_(configuration),
        delegate_(std::move(delegate)),
        pool_(framePoolCapacity(configuration.queueDepth)),
        queue_("com.zavel.ferrowin.capture.pipewire"),
        timers_(queue_.executor()) {}

  ~PipeWireStream() override { stop(); }

  Expected<void, CaptureError> start() override {
    if (auto connected = connect(); !connected) return connected;
    queue_.sync([&] {
      if (!pacer_) {
        pacer_ = std::make_unique<FramePacer>(common::SteadyClock::instance(), timers_,
                                              [this] { tick(); });
      }
      pacer_->start(configuration().fps);
    });
    return {};
  }

  Expected<void, CaptureError> updateContentFilter(const CaptureFilter& filter) override {
    if (filter.kind != CaptureFilter::Kind::display) {
      return unexpected(CaptureError{CaptureError::Code::sourceMissing, "no windows here"});
    }
    if (filter.id == source_.displayId) return {};
    auto source = table_->find(filter.id);
    if (!source) return unexpected(CaptureError{CaptureError::Code::sourceMissing, ""});
    disconnect();
    {
      std::lock_guard lock(mutex_);
      picture_.reset();
      cursor_ = CursorState{};
    }
    source_ = *source;
    return connect();
  }

  Expected<void, CaptureError> updateConfiguration(
      const CaptureStreamConfiguration& configuration) override {
    if (configuration.width <= 0 || configuration.height <= 0) {
      return unexpected(CaptureError{CaptureError::Code::failed, "invalid frame size"});
    }
    queue_.sync([&] {
      {
        std::lock_guard lock(mutex_);
        configuration_ = configuration;
        changed_ = true;
      }
      pool_.setCapacity(framePoolCapacity(configuration.queueDepth));
      if (pacer_) pacer_->setFps(configuration.fps);
    });
    return {};
  }

  void stop() override {
    queue_.sync([&] {
      stopped_ = true;
      pacer_.reset();
    });
    disconnect();
  }

 private:
  CaptureStreamConfiguration configuration() {
    std::lock_guard lock(mutex_);
    return configuration_;
  }

  // Watches the registry for the node; the stream connects to it once it is seen there (by its
  // serial, which the session manager links by), and stops when it leaves.
  Expected<void, CaptureError> connect() {
    PipeWireConnection::Lock lock(*connection_);
    if (connection_->broken()) return unexpected(unavailable("the PipeWire connection is broken"));
    streamed_ = false;
    pw_properties* properties =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                          PW_KEY_MEDIA_ROLE, "Screen", nullptr);
    stream_ = pw_stream_new(connection_->core(), "ferrowin-capture", properties);
    if (stream_ == nullptr) return unexpected(unavailable("no PipeWire stream"));
    static const pw_stream_events streamEvents = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = [](void* data, pw_stream_state, pw_stream_state state, const char*) {
        static_cast<PipeWireStream*>(data)->stateChanged(state);
      };
      e.param_changed = [](void* data, uint32_t id, const spa_pod* param) {
        static_cast<PipeWireStream*>(data)->paramChanged(id, param);
      };
      e.process = [](void* data) { static_cast<PipeWireStream*>(data)->process(); };
      return e;
    }();
    pw_stream_add_listener(stream_, &streamListener_, &streamEvents, this);

    registry_ = pw_core_get_registry(connection_->core(), PW_VERSION_REGISTRY, 0);
    static const pw_registry_events registryEvents = [] {
      pw_registry_events e{};
      e.version = PW_VERSION_REGISTRY_EVENTS;
      e.global = [](void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                    const spa_dict* props) {
        auto* self = static_cast<PipeWireStream*>(data);
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) != 0 || props == nullptr) return;
        const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
        const bool ours = self->source_.nodeId
                              ? id == *self->source_.nodeId
                              : name != nullptr && self->source_.nodeName == name;
        if (ours && self->targetId_ == SPA_ID_INVALID) self->connectTo(id, props);
      };
      e.global_remove = [](void* data, uint32_t id) {
        auto* self = static_cast<PipeWireStream*>(data);
        if (id == self->targetId_) {
          self->post([self] { self->halt(CaptureStreamError::Code::displayGone); });
        }
      };
      return e;
    }();
    pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
    return {};
  }

  // On the loop thread: the node is there.
  void connectTo(uint32_t id, const spa_dict* props) {
    targetId_ = id;
    const char* serial = spa_dict_lookup(props, PW_KEY_OBJECT_SERIAL);
    const char* name = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    const spa_dict_item target[] = {
        SPA_DICT_ITEM_INIT(PW_KEY_TARGET_OBJECT, serial != nullptr ? serial : name)};
    const spa_dict targetDict = SPA_DICT_INIT_ARRAY(target);
    if (serial != nullptr || name != nullptr) pw_stream_update_properties(stream_, &targetDict);

    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    spa_pod_frame object, choice;
    spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(&builder, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
                        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), 0);
    spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
    spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
    const auto formats = pipewire::offeredVideoFormats();
    spa_pod_builder_id(&builder, formats.front());  // the default
    for (uint32_t format : formats) spa_pod_builder_id(&builder, format);
    spa_pod_builder_pop(&builder, &choice);
    const spa_rectangle defaultSize{1920, 1080}, minSize{1, 1}, maxSize{16384, 16384};
    const spa_fraction defaultRate{uint32_t(std::max(configuration().fps, 1)), 1},
        minRate{0, 1}, maxRate{1000, 1};
    spa_pod_builder_add(&builder, SPA_FORMAT_VIDEO_size,
                        SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
                        SPA_FORMAT_VIDEO_framerate,
                        SPA_POD_CHOICE_RANGE_Fraction(&defaultRate, &minRate, &maxRate), 0);
    const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object))};
    if (pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                          pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                          PW_STREAM_FLAG_DONT_RECONNECT),
                          params, 1) < 0) {
      post([this] { halt(CaptureStreamError::Code::displayGone); });
    }
  }

  void disconnect() {
    PipeWireConnection::Lock lock(*connection_);
    if (stream_ != nullptr) {
      spa_hook_remove(&streamListener_);
      pw_stream_destroy(stream_);
      stream_ = nullptr;
    }
    if (registry_ != nullptr) {
      spa_hook_remove(&registryListener_);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
      registry_ = nullptr;
    }
    targetId_ = SPA_ID_INVALID;
  }

  // Runs `work` on the delivery queue unless the stream has been stopped by then.
  template <class F>
  void post(F work) {
    queue_.post([this, work = std::move(work)] {
      if (!stopped_) work();
    });
  }

  // --- on the loop thread ---

  void stateChanged(pw_stream_state state) {
    if (state == PW_STREAM_STATE_STREAMING) streamed_ = true;
    const bool lost = state == PW_STREAM_STATE_ERROR ||
                      (state == PW_STREAM_STATE_UNCONNECTED && streamed_);
    if (!lost) return;
    const auto code = connection_->broken() ? CaptureStreamError::Code::connectionLost
                                            : CaptureStreamError::Code::displayGone;
    post([this, code] { halt(code); });
  }

  void paramChanged(uint32_t id, const spa_pod* param) {
    if (param == nullptr || id != SPA_PARAM_Format) return;
    uint32_t mediaType = 0, mediaSubtype = 0;
    spa_video_info_raw info{};
    if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 ||
        mediaType != SPA_MEDIA_TYPE_video || mediaSubtype != SPA_MEDIA_SUBTYPE_raw ||
        spa_format_video_raw_parse(param, &info) < 0) {
      return;
    }
    const auto layout = pipewire::layoutOfVideoFormat(info.format);
    if (!layout || info.size.width == 0 || info.size.height == 0) {
      pw_stream_set_error(stream_, -EINVAL, "unsupported video format");
      return;
    }
    {
      std::lock_guard lock(mutex_);
      layout_ = *layout;
      width_ = int(info.size.width);
      height_ = int(info.size.height);
    }
    table_->learnSize(source_.displayId, width_, height_);

    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
    const int stride = width_ * 4;
    const spa_pod* params[3];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1),
        SPA_PARAM_BUFFERS_size, SPA_POD_Int(stride * height_), SPA_PARAM_BUFFERS_stride,
        SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd))));
    params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
    params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
        SPA_POD_Id(SPA_META_Cursor), SPA_PARAM_META_size,
        SPA_POD_CHOICE_RANGE_Int(CursorMetaSize::of(64), CursorMetaSize::of(1),
                                 CursorMetaSize::of(pipewire::kMaxCursorSide))));
    pw_stream_update_params(stream_, params, 3);
  }

  void process() {
    pw_buffer* newest = nullptr;
    while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream_)) {
      takeCursor(*buffer->buffer);
      if (!hasPicture(*buffer->buffer)) {
        pw_stream_queue_buffer(stream_, buffer);
        continue;
      }
      if (newest != nullptr) pw_stream_queue_buffer(stream_, newest);
      newest = buffer;
    }
    if (newest == nullptr) return;
    takePicture(*newest->buffer);
    pw_stream_queue_buffer(stream_, newest);
  }

  void takeCursor(const spa_buffer& buffer) {
    auto* meta = static_cast<spa_meta*>(spa_buffer_find_meta(&buffer, SPA_META_Cursor));
    if (meta == nullptr || meta->data == nullptr) return;
    std::lock_guard lock(mutex_);
    if (pipewire::applyCursorMeta(static_cast<const uint8_t*>(meta->data), meta->size, cursor_)) {
      cursorChanged_ = true;
    }
  }

  // Whether the buffer carries a whole picture (not just news of the pointer, not damaged), laid
  // out within its memory.
  bool hasPicture(const spa_buffer& buffer) const {
    if (buffer.n_datas < 1 || buffer.datas[0].data == nullptr || buffer.datas[0].chunk == nullptr) {
      return false;
    }
    if (auto* header = static_cast<spa_meta_header*>(
            spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
        header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED)) {
      return false;
    }
    const spa_data& data = buffer.datas[0];
    const spa_chunk& chunk = *data.chunk;
    if (chunk.size == 0 || (chunk.flags & SPA_CHUNK_FLAG_CORRUPTED) || width_ == 0) return false;
    const uint64_t stride = chunk.stride > 0 ? uint64_t(chunk.stride) : uint64_t(width_) * 4;
    const uint64_t needed = stride * uint64_t(height_ - 1) + uint64_t(width_) * 4;
    return stride >= uint64_t(width_) * 4 && chunk.offset <= data.maxsize &&
           needed <= data.maxsize - chunk.offset;
  }

  void takePicture(const spa_buffer& buffer) {
    const spa_data& data = buffer.datas[0];
    const int stride = data.chunk->stride > 0 ? data.chunk->stride : width_ * 4;
    const auto* pixels = static_cast<const uint8_t*>(data.data) + data.chunk->offset;
    std::lock_guard lock(mutex_);
    if (!picture_ || picture_->width != width_ || picture_->height != height_) {
      picture_ = allocateBgraFrame(width_, height_);
    }
    pipewire::convertToBgra(pixels, stride, layout_, *picture_);
    picturePts_ = common::toMicros(common::SteadyClock::instance().now());
    changed_ = true;
  }

  // --- on the delivery queue ---

  void halt(CaptureStreamError::Code code) {
    if (halted_) return;
    halted_ = true;
    if (pacer_) pacer_->stop();
    if (delegate_.onStop) delegate_.onStop(CaptureStreamError{code, ""});
  }

  // Delivers the newest picture when it (or the pointer) changed since the last delivery, or when
  // a still picture is due again.
  void tick() {
    if (halted_) return;
    if (connection_->broken()) return halt(CaptureStreamError::Code::connectionLost);
    const double now = common::SteadyClock::instance().now();
    std::unique_lock lock(mutex_);
    if (!picture_) return;
    const bool showsCursor = configuration_.showsCursor;
    const bool due = changed_ || (showsCursor && cursorChanged_) ||
                     now - lastDelivery_ >= kStillRefreshSeconds;
    if (!due) return;
    auto frame = pool_.acquire(configuration_.width, configuration_.height);
    if (!frame) return;  // the consumer holds every buffer: try again next tick
    const PixelRect destination = destinationPixels(configuration_);
    placeInFrame(*picture_, *frame, destination);
    if (showsCursor && cursor_.visible && !cursor_.argb.empty()) {
      // The pointer is drawn at its place in the scaled picture, at its own size.
      const PixelRect fitted = fitPicture(destination, picture_->width, picture_->height);
      const int x = fitted.x + int(int64_t(cursor_.x) * fitted.width / picture_->width);
      const int y = fitted.y + int(int64_t(cursor_.y) * fitted.height / picture_->height);
      blendCursor(*frame, cursor_.argb.data(), cursor_.width, cursor_.height, x - cursor_.hotX,
                  y - cursor_.hotY);
    }
    const int64_t pts = changed_ ? picturePts_ : common::toMicros(now);
    changed_ = cursorChanged_ = false;
    lastDelivery_ = now;
    lock.unlock();
    if (delegate_.onFrame) {
      delegate_.onFrame(CapturedFrame{std::move(*frame), pts, CaptureFrameStatus::complete});
    }
  }

  std::shared_ptr<PipeWireConnection> connection_;
  std::shared_ptr<SourceTable> table_;
  PipeWireSource source_;

  // PipeWire objects, under the loop lock.
  pw_stream* stream_ = nullptr;
  spa_hook streamListener_{};
  pw_registry* registry_ = nullptr;
  spa_hook registryListener_{};
  uint32_t targetId_ = SPA_ID_INVALID;
  bool streamed_ = false;
  // The negotiated format: written on the loop thread, read there and (under mutex_) by tick.
  PixelLayout layout_ = PixelLayout::bgra;
  int width_ = 0, height_ = 0;

  // Shared between the loop thread and the delivery queue.
  std::mutex mutex_;
  CaptureStreamConfiguration configuration_;
  std::optional<BgraFrame> picture_;
  int64_t picturePts_ = 0;
  bool changed_ = false;
  CursorState cursor_;
  bool cursorChanged_ = false;

  // The delivery queue's own.
  Delegate delegate_;
  FramePool pool_;
  bool stopped_ = false;
  bool halted_ = false;
  double lastDelivery_ = -1e9;
  common::SerialQueue queue_;
  common::AsioTimerFactory timers_;
  std::unique_ptr<FramePacer> pacer_;
};

class PipeWireCaptureBackend final : public CaptureBackend {
 public:
  PipeWireCaptureBackend(std::shared_ptr<PipeWireConnection> connection,
                         std::vector<PipeWireSource> sources)
      : connection_(std::move(connection)),
        table_(std::make_shared<SourceTable>(std::move(sources))) {}

  ~PipeWireCaptureBackend() override { table_->setHandler({}); }

  Expected<ShareableContent, CaptureError> shareableContent(bool) override {
    if (connection_->broken()) return unexpected(unavailable("the PipeWire connection is broken"));
    ShareableContent content;
    bool first = true;
    for (PipeWireSource& source : table_->sources()) {
      if (source.frame.width <= 0 || source.frame.height <= 0) {
        // Not known yet: the node says when it sends its first picture. A node that sends none
        // is not offered.
        if (!firstPicture(source, 16, 16, false)) continue;
        if (auto learnt = table_->find(source.displayId)) source = *learnt;
      }
      content.displays.push_back(CaptureDisplay{source.displayId, source.frame, 1.0, first});
      first = false;
    }
    return content;
  }

  uint32_t mainDisplayId() override {
    const auto sources = table_->sources();
    return sources.empty() ? 0 : sources.front().displayId;
  }

  std::optional<CaptureRect> displayBounds(uint32_t displayId) override {
    auto source = table_->find(displayId);
    if (!source) return std::nullopt;
    return source->frame;
  }

  Expected<std::unique_ptr<CaptureStream>, CaptureError> createStream(
      const CaptureFilter& filter, const CaptureStreamConfiguration& configuration,
      CaptureStream::Delegate delegate) override {
    if (configuration.width <= 0 || configuration.height <= 0) {
      return unexpected(CaptureError{CaptureError::Code::failed, "invalid frame size"});
    }
    auto source = filter.kind == CaptureFilter::Kind::display ? table_->find(filter.id)
                                                              : std::nullopt;
    if (!source) return unexpected(CaptureError{CaptureError::Code::sourceMissing, ""});
    return std::make_unique<PipeWireStream>(connection_, table_, *source, configuration,
                                            std::move(delegate));
  }

  Expected<BgraFrame, CaptureError> screenshot(const CaptureFilter& filter, int width, int height,
                                               bool showsCursor) override {
    if (width <= 0 || height <= 0) {
      return unexpected(CaptureError{CaptureError::Code::failed, "invalid picture size"});
    }
    auto source = filter.kind == CaptureFilter::Kind::display ? table_->find(filter.id)
                                                              : std::nullopt;
    if (!source) return unexpected(CaptureError{CaptureError::Code::sourceMissing, ""});
    auto picture = firstPicture(*source, width, height, showsCursor);
    if (!picture) {
      return unexpected(CaptureError{CaptureError::Code::failed, "the node sent no picture"});
    }
    return std::move(*picture);
  }

  void setDisplayChangeHandler(std::function<void()> handler) override {
    table_->setHandler(std::move(handler));
  }

 private:
  // The node's first picture at width × height, from a stream of its own.
  std::optional<BgraFrame> firstPicture(const PipeWireSource& source, int width, int height,
                                        bool showsCursor) {
    struct Waiter {
      std::mutex mutex;
      std::condition_variable arrived;
      std::optional<BgraFrame> picture;
      bool stopped = false;
    };
    auto waiter = std::make_shared<Waiter>();
    CaptureStream::Delegate delegate;
    delegate.onFrame = [waiter](CapturedFrame frame) {
      std::lock_guard lock(waiter->mutex);
      if (!waiter->picture) waiter->picture = std::move(frame.image);
      waiter->arrived.notify_all();
    };
    delegate.onStop = [waiter](const CaptureStreamError&) {
      std::lock_guard lock(waiter->mutex);
      waiter->stopped = true;
      waiter->arrived.notify_all();
    };
    CaptureStreamConfiguration configuration;
    configuration.width = width;
    configuration.height = height;
    configuration.showsCursor = showsCursor;
    PipeWireStream stream(connection_, table_, source, configuration, std::move(delegate));
    if (!stream.start()) return std::nullopt;
    std::unique_lock lock(waiter->mutex);
    waiter->arrived.wait_for(lock, kFirstPictureTimeout,
                             [&] { return waiter->picture || waiter->stopped; });
    auto picture = std::move(waiter->picture);
    lock.unlock();
    stream.stop();
    return picture;
  }

  std::shared_ptr<PipeWireConnection> connection_;
  std::shared_ptr<SourceTable> table_;
};

}  // namespace

Expected<std::unique_ptr<CaptureBackend>, CaptureError> makePipeWireCaptureBackend(
    std::vector<PipeWireSource> sources, PipeWireRemote remote) {
  auto connection = PipeWireConnection::open(remote);
  if (!connection) return unexpected(connection.error());
  std::vector<uint32_t> nodes;
  for (const PipeWireSource& source : sources) {
    if (source.nodeId) nodes.push_back(*source.nodeId);
  }
  (*connection)->watchNodes(std::move(nodes), remote.onEnded);
  return std::make_unique<PipeWireCaptureBackend>(std::move(*connection), std::move(sources));
}

}  // namespace ferrowin::platform
