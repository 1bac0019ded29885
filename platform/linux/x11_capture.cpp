#include "platform/linux/x11_capture.h"

#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <asio/posix/stream_descriptor.hpp>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "common/runtime/serial_queue.h"
#include "platform/capture_frames.h"
#include "platform/linux/x11_connection.h"

namespace ferrowin::platform {

namespace {

using x11::X11Connection;

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <class T>
Reply<T> reply(T* pointer) {
  return Reply<T>(pointer, &std::free);
}

CaptureError unavailable(const std::string& detail) {
  return CaptureError{CaptureError::Code::unavailable, detail};
}

// Makes the extensions answer at the versions used here (a client must ask before using them).
void negotiateExtensions(X11Connection& connection) {
  xcb_connection_t* c = connection.get();
  std::free(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr));
  std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
  std::free(xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
  if (connection.hasExtension(&xcb_damage_id)) {
    std::free(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
  }
}

struct Monitor {
  uint32_t id;
  CaptureRect frame;
  bool primary;
};

// RandR 1.5 monitors; the whole screen as one monitor when the server has none. A monitor's id is
// its name atom, which the server keeps for its lifetime.
std::vector<Monitor> monitors(X11Connection& connection) {
  std::vector<Monitor> out;
  xcb_connection_t* c = connection.get();
  if (connection.hasExtension(&xcb_randr_id)) {
    if (auto answer = reply(xcb_randr_get_monitors_reply(
            c, xcb_randr_get_monitors(c, connection.root(), 1), nullptr))) {
      for (auto it = xcb_randr_get_monitors_monitors_iterator(answer.get()); it.rem > 0;
           xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t& info = *it.data;
        out.push_back(Monitor{info.name, CaptureRect{double(info.x), double(info.y),
                                                     double(info.width), double(info.height)},
                              info.primary != 0});
      }
    }
  }
  if (out.empty()) {
    if (auto geometry =
            reply(xcb_get_geometry_reply(c, xcb_get_geometry(c, connection.root()), nullptr))) {
      out.push_back(Monitor{connection.root(),
                            CaptureRect{0, 0, double(geometry->width), double(geometry->height)},
                            true});
    }
  }
  return out;
}

uint32_t mainMonitorId(const std::vector<Monitor>& list) {
  for (const Monitor& monitor : list) {
    if (monitor.primary) return monitor.id;
  }
  return list.empty() ? 0 : list.front().id;
}

std::optional<std::string> propertyText(X11Connection& connection, xcb_window_t window,
                                        xcb_atom_t name, xcb_atom_t type) {
  if (name == XCB_ATOM_NONE || type == XCB_ATOM_NONE) return std::nullopt;
  xcb_connection_t* c = connection.get();
  auto answer =
      reply(xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, type, 0, 4096), nullptr));
  if (!answer || answer->type != type || answer->format != 8) return std::nullopt;
  const auto* data = static_cast<const char*>(xcb_get_property_value(answer.get()));
  return std::string(data, size_t(xcb_get_property_value_length(answer.get())));
}

std::vector<uint32_t> property32(X11Connection& connection, xcb_window_t window, xcb_atom_t name,
                                 xcb_atom_t type) {
  if (name == XCB_ATOM_NONE) return {};
  xcb_connection_t* c = connection.get();
  auto answer =
      reply(xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, type, 0, 1024), nullptr));
  if (!answer || answer->type != type || answer->format != 32) return {};
  const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(answer.get()));
  return {data, data + xcb_get_property_value_length(answer.get()) / 4};
}

// Bottom-to-top lists turned front to back.
std::vector<xcb_window_t> windowsFrontToBack(X11Connection& connection) {
  std::vector<xcb_window_t> windows = property32(
      connection, connection.root(), connection.atom("_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW);
  if (windows.empty()) {
    xcb_connection_t* c = connection.get();
    if (auto tree =
            reply(xcb_query_tree_reply(c, xcb_query_tree(c, connection.root()), nullptr))) {
      const xcb_window_t* children = xcb_query_tree_children(tree.get());
      windows.assign(children, children + xcb_query_tree_children_length(tree.get()));
    }
  }
  std::reverse(windows.begin(), windows.end());
  return windows;
}

// The window's position on the root and its size; absent when the window is gone.
std::optional<CaptureRect> windowFrame(X11Connection& connection, xcb_window_t window) {
  xcb_connection_t* c = connection.get();
  auto geometry = reply(xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr));
  if (!geometry) return std::nullopt;
  auto position = reply(xcb_translate_coordinates_reply(
      c, xcb_translate_coordinates(c, window, connection.root(), 0, 0), nullptr));
  if (!position) return std::nullopt;
  return CaptureRect{double(position->dst_x), double(position->dst_y), double(geometry->width),
                     double(geometry->height)};
}

CaptureWindowRole windowRole(X11Connection& connection, xcb_window_t window) {
  const auto types =
      property32(connection, window, connection.atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM);
  if (types.empty()) return CaptureWindowRole::normal;
  const xcb_atom_t type = types.front();
  if (type == connection.atom("_NET_WM_WINDOW_TYPE_DOCK")) return CaptureWindowRole::dock;
  if (type == connection.atom("_NET_WM_WINDOW_TYPE_DESKTOP")) return CaptureWindowRole::desktop;
  if (type == connection.atom("_NET_WM_WINDOW_TYPE_NOTIFICATION")) {
    return CaptureWindowRole::notification;
  }
  if (type == connection.atom("_NET_WM_WINDOW_TYPE_NORMAL") ||
      type == connection.atom("_NET_WM_WINDOW_TYPE_DIALOG")) {
    return CaptureWindowRole::normal;
  }
  return CaptureWindowRole::other;
}

std::optional<CaptureWindow> describeWindow(X11Connection& connection, xcb_window_t window,
                                            bool onScreenOnly) {
  xcb_connection_t* c = connection.get();
  auto attributes = reply(
      xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
  // Override-redirect windows are menus and tooltips, never an application's window.
  if (!attributes || attributes->override_redirect) return std::nullopt;
  const auto states =
      property32(connection, window, connection.atom("_NET_WM_STATE"), XCB_ATOM_ATOM);
  const auto hasState = [&](const char* name) {
    return std::find(states.begin(), states.end(), connection.atom(name)) != states.end();
  };
  if (onScreenOnly &&
      (attributes->map_state != XCB_MAP_STATE_VIEWABLE || hasState("_NET_WM_STATE_HIDDEN"))) {
    return std::nullopt;
  }
  auto frame = windowFrame(connection, window);
  if (!frame) return std::nullopt;

  CaptureWindow out;
  out.id = window;
  out.frame = *frame;
  out.layer = hasState("_NET_WM_STATE_ABOVE") ? 1 : hasState("_NET_WM_STATE_BELOW") ? -1 : 0;
  auto title = propertyText(connection, window, connection.atom("_NET_WM_NAME"),
                            connection.atom("UTF8_STRING"));
  if (!title) title = propertyText(connection, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);
  out.title = title.value_or("");
  // WM_CLASS is "instance\0class\0"; the class names the application.
  if (auto wmClass = propertyText(connection, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING)) {
    const size_t end = wmClass->find('\0');
    std::string applicationClass = end == std::string::npos ? "" : wmClass->substr(end + 1);
    applicationClass = applicationClass.substr(0, applicationClass.find('\0'));
    if (applicationClass.empty()) applicationClass = wmClass->substr(0, end);
    out.applicationIdentifier = applicationClass;
    out.applicationName = applicationClass;
  }
  const auto pid =
      property32(connection, window, connection.atom("_NET_WM_PID"), XCB_ATOM_CARDINAL);
  if (!pid.empty()) out.pid = static_cast<int32_t>(pid.front());
  out.role = windowRole(connection, window);
  return out;
}

// A shared-memory segment the server writes images into; plain GetImage when there is no MIT-SHM
// (a remote server).
class ImageGrabber {
 public:
  explicit ImageGrabber(X11Connection& connection)
      : connection_(connection), useShm_(connection.hasExtension(&xcb_shm_id)) {}
  ~ImageGrabber() { release(); }

  enum class Result { ok, drawableGone, failed };

  // Reads (x, y, width, height) of `drawable` as BGRA into a view valid until the next grab.
  Result grab(xcb_drawable_t drawable, int x, int y, int width, int height, BgraFrame& view) {
    xcb_connection_t* c = connection_.get();
    const size_t bytes = size_t(width) * size_t(height) * 4;
    if (useShm_ && !ensureSegment(bytes)) useShm_ = false;
    xcb_generic_error_t* error = nullptr;
    if (useShm_) {
      auto answer = reply(xcb_shm_get_image_reply(
          c,
          xcb_shm_get_image(c, drawable, int16_t(x), int16_t(y), uint16_t(width), uint16_t(height),
                            ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment_, 0),
          &error));
      if (!answer) return failure(error);
      view = BgraFrame{nullptr, memory_, width, height, width * 4};
      return Result::ok;
    }
    auto answer = reply(xcb_get_image_reply(
        c,
        xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, int16_t(x), int16_t(y),
                      uint16_t(width), uint16_t(height), ~0u),
        &error));
    if (!answer) return failure(error);
    if (size_t(xcb_get_image_data_length(answer.get())) < bytes) return Result::failed;
    copy_.assign(xcb_get_image_data(answer.get()), xcb_get_image_data(answer.get()) + bytes);
    view = BgraFrame{nullptr, copy_.data(), width, height, width * 4};
    return Result::ok;
  }

 private:
  static Result failure(xcb_generic_error_t* error) {
    if (error == nullptr) return Result::failed;
    const uint8_t code = error->error_code;
    std::free(error);
    return code == XCB_WINDOW || code == XCB_DRAWABLE || code == XCB_MATCH ? Result::drawableGone
                                                                           : Result::failed;
  }

  bool ensureSegment(size_t bytes) {
    if (memory_ != nullptr && capacity_ >= bytes) return true;
    release();
    const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
    if (id < 0) return false;
    void* memory = shmat(id, nullptr, 0);
    // Marked for removal at once: it goes when both sides have detached, even after a crash.
    shmctl(id, IPC_RMID, nullptr);
    if (memory == reinterpret_cast<void*>(-1)) return false;
    segment_ = xcb_generate_id(connection_.get());
    xcb_generic_error_t* error =
        xcb_request_check(connection_.get(), xcb_shm_attach_checked(connection_.get(), segment_,
                                                                    uint32_t(id), 0));
    if (error != nullptr) {
      std::free(error);
      shmdt(memory);
      return false;
    }
    memory_ = static_cast<uint8_t*>(memory);
    capacity_ = bytes;
    return true;
  }

  void release() {
    if (memory_ == nullptr) return;
    xcb_shm_detach(connection_.get(), segment_);
    xcb_flush(connection_.get());
    shmdt(memory_);
    memory_ = nullptr;
    capacity_ = 0;
  }

  X11Connection& connection_;
  bool useShm_;
  uint32_t segment_ = 0;
  uint8_t* memory_ = nullptr;
  size_t capacity_ = 0;
  std::vector<uint8_t> copy_;
};

// Blends the cursor (premultiplied ARGB from XFixes) into `image`, whose top-left corner sits at
// (originX, originY) on the root window.
void drawCursor(X11Connection& connection, const BgraFrame& image, int originX, int originY) {
  if (!connection.hasExtension(&xcb_xfixes_id)) return;
  xcb_connection_t* c = connection.get();
  auto cursor =
      reply(xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
  if (!cursor) return;
  blendCursor(image, xcb_xfixes_get_cursor_image_cursor_image(cursor.get()), cursor->width,
              cursor->height, cursor->x - cursor->xhot - originX,
              cursor->y - cursor->yhot - originY);
}

// Reads the picture of `filter` (display area or window) with the cursor drawn in.
enum class GrabResult { ok, sourceGone, failed };

GrabResult grabSource(X11Connection& connection, ImageGrabber& grabber, const CaptureFilter& filter,
                      bool showsCursor, BgraFrame& view) {
  int originX = 0, originY = 0;
  ImageGrabber::Result result = ImageGrabber::Result::failed;
  if (filter.kind == CaptureFilter::Kind::display) {
    const auto list = monitors(connection);
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const Monitor& m) { return m.id == filter.id; });
    if (it == list.end()) return GrabResult::sourceGone;
    originX = int(it->frame.x);
    originY = int(it->frame.y);
    result = grabber.grab(connection.root(), originX, originY, int(it->frame.width),
                          int(it->frame.height), view);
  } else {
    auto frame = windowFrame(connection, filter.id);
    if (!frame || frame->width < 1 || frame->height < 1) return GrabResult::sourceGone;
    originX = int(frame->x);
    originY = int(frame->y);
    xcb_connection_t* c = connection.get();
    if (connection.hasExtension(&xcb_composite_id)) {
      // The window's own contents, also where other windows cover it. The redirection ends with
      // this connection; asking again once it holds is refused, which is fine.
      std::free(xcb_request_check(
          c, xcb_composite_redirect_window_checked(c, filter.id, XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
      const xcb_pixmap_t pixmap = xcb_generate_id(c);
      if (xcb_generic_error_t* error = xcb_request_check(
              c, xcb_composite_name_window_pixmap_checked(c, filter.id, pixmap))) {
        std::free(error);  // unmapped or destroyed since
        return GrabResult::sourceGone;
      }
      result = grabber.grab(pixmap, 0, 0, int(frame->width), int(frame->height), view);
      xcb_free_pixmap(c, pixmap);
    } else {
      result = grabber.grab(filter.id, 0, 0, int(frame->width), int(frame->height), view);
    }
  }
  if (result == ImageGrabber::Result::drawableGone) {
    return filter.kind == CaptureFilter::Kind::window ? GrabResult::sourceGone : GrabResult::failed;
  }
  if (result != ImageGrabber::Result::ok) return GrabResult::failed;
  if (showsCursor) drawCursor(connection, view, originX, originY);
  return GrabResult::ok;
}

// A still picture is read again this often, so the encoder's periodic keyframes go on.
constexpr double kStillRefreshSeconds = 1.0;

class X11Stream final : public CaptureStream {
 public:
  X11Stream(std::unique_ptr<X11Connection> connection, CaptureFilter filter,
            CaptureStreamConfiguration configuration, Delegate delegate, X11CaptureTiming timing)
      : connection_(std::move(connection)),
        grabber_(*connection_),
        filter_(filter),
        configuration_(configuration),
        delegate_(std::move(delegate)),
        pool_(framePoolCapacity(configuration.queueDepth)),
        onChange_(timing == X11CaptureTiming::onChange &&
                  connection_->hasExtension(&xcb_damage_id)),
        queue_("com.zavel.ferrowin.capture.x11"),
        timers_(queue_.executor()) {}

  ~X11Stream() override { stop(); }

  Expected<void, CaptureError> start() override {
    queue_.sync([&] {
      if (!pacer_) {
        pacer_ = std::make_unique<FramePacer>(common::SteadyClock::instance(), timers_,
                                              [this] { tick(); });
      }
      if (onChange_ && !events_) {
        watchDamage();
        events_ = std::make_unique<asio::posix::stream_descriptor>(
            queue_.context(), xcb_get_file_descriptor(connection_->get()));
        waitForEvents();
        rateTimer_ = timers_.makeTimer();
      }
      changed_ = true;  // the first frame comes at once
      pacer_->start(configuration_.fps);
    });
    return {};
  }

  Expected<void, CaptureError> updateContentFilter(const CaptureFilter& filter) override {
    queue_.sync([&] {
      filter_ = filter;
      if (events_) watchDamage();
      changed_ = true;
    });
    return {};
  }

  Expected<void, CaptureError> updateConfiguration(
      const CaptureStreamConfiguration& configuration) override {
    if (configuration.width <= 0 || configuration.height <= 0) {
      return unexpected(CaptureError{CaptureError::Code::failed, "invalid frame size"});
    }
    queue_.sync([&] {
      configuration_ = configuration;
      pool_.setCapacity(framePoolCapacity(configuration.queueDepth));
      changed_ = true;
      if (pacer_) pacer_->setFps(configuration.fps);
    });
    return {};
  }

  void stop() override {
    queue_.sync([&] {
      pacer_.reset();
      rateTimer_.reset();
      if (events_) {
        // The descriptor is the connection's: stop waiting on it without closing it.
        events_->cancel();
        events_->release();
        events_.reset();
      }
    });
  }

 private:
  void halt(CaptureStreamError::Code code) {
    pacer_->stop();
    if (rateTimer_) rateTimer_->cancel();
    if (delegate_.onStop) delegate_.onStop(CaptureStreamError{code, ""});
  }

  double now() const { return common::SteadyClock::instance().now(); }

  // DAMAGE: one event when the watched drawable's damage goes from none to some; reading the
  // picture clears it (subtract), so a burst of drawing costs one event per frame.
  void watchDamage() {
    xcb_connection_t* c = connection_->get();
    if (damage_ != 0) xcb_damage_destroy(c, damage_);
    damage_ = xcb_generate_id(c);
    const xcb_drawable_t target =
        filter_.kind == CaptureFilter::Kind::display ? connection_->root() : filter_.id;
    // A window already gone is an error nobody waits for; the next read finds it gone.
    xcb_damage_create(c, damage_, target, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
    if (filter_.kind == CaptureFilter::Kind::window) {
      // A window moving, resizing, hiding or closing is read at once too (it damages nothing).
      const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
      xcb_change_window_attributes(c, target, XCB_CW_EVENT_MASK, &mask);
    }
    xcb_flush(c);
  }

  void waitForEvents() {
    events_->async_wait(asio::posix::stream_descriptor::wait_read,
                        [this](const std::error_code& error) {
                          if (error) return;  // stopped: `this` may be going away
                          takeEvents();
                          captureIfDue();
                          if (events_ && !connection_->broken()) waitForEvents();
                        });
  }

  void takeEvents() {
    // Damage, or a change of the captured window's shape or state.
    (void)connection_->drainEvents([this](const xcb_generic_event_t&) { changed_ = true; });
  }

  void tick() {
    if (connection_->broken()) return halt(CaptureStreamError::Code::connectionLost);
    if (!onChange_) return grab();
    takeEvents();
    if (configuration_.showsCursor) {
      // The pointer moving changes the picture without damaging anything.
      xcb_connection_t* c = connection_->get();
      if (auto pointer = reply(xcb_query_pointer_reply(
              c, xcb_query_pointer(c, connection_->root()), nullptr))) {
        const std::pair<int, int> position{pointer->root_x, pointer->root_y};
        if (position != pointer_) changed_ = true;
        pointer_ = position;
      }
    }
    if (now() - lastRead_ >= kStillRefreshSeconds) changed_ = true;
    captureIfDue();
  }

  // Reads a changed picture now, or when a frame interval has passed since the last read.
  void captureIfDue() {
    if (!changed_ || !pacer_ || !pacer_->running()) return;
    const double interval = 1.0 / std::max(configuration_.fps, 1);
    const double wait = lastRead_ + interval - now();
    if (wait > 0.0005) {
      if (!rateTimerArmed_) {
        rateTimerArmed_ = true;
        rateTimer_->start(wait, [this] {
          rateTimerArmed_ = false;
          captureIfDue();
        });
      }
      return;
    }
    grab();
  }

  void grab() {
    if (onChange_) {
      changed_ = false;
      lastRead_ = now();
      // Cleared before reading, so drawing during the read counts for the next frame.
      xcb_damage_subtract(connection_->get(), damage_, XCB_NONE, XCB_NONE);
    } else {
      (void)connection_->drainEvents();  // errors of unchecked requests must not pile up
    }
    BgraFrame view;
    const int64_t pts = common::toMicros(common::SteadyClock::instance().now());
    const GrabResult result = grabSource(*connection_, grabber_, filter_,
                                         configuration_.showsCursor, view);
    // Events that came in with the replies wait in XCB's queue, where the descriptor does not
    // show them.
    if (onChange_) takeEvents();
    switch (result) {
      case GrabResult::sourceGone:
        return halt(filter_.kind == CaptureFilter::Kind::window
                        ? CaptureStreamError::Code::windowGone
                        : CaptureStreamError::Code::displayGone);
      case GrabResult::failed:
        if (connection_->broken()) halt(CaptureStreamError::Code::connectionLost);
        changed_ = true;
        return;  // a transient failure (a monitor moving, say): try again next tick
      case GrabResult::ok:
        break;
    }
    auto frame = pool_.acquire(configuration_.width, configuration_.height);
    if (!frame) {
      changed_ = true;  // the consumer holds every buffer: this change waits for the next tick
      return;
    }
    placeInFrame(view, *frame, destinationPixels(configuration_));
    if (delegate_.onFrame) {
      delegate_.onFrame(CapturedFrame{std::move(*frame), pts, CaptureFrameStatus::complete});
    }
  }

  std::unique_ptr<X11Connection> connection_;
  ImageGrabber grabber_;
  CaptureFilter filter_;
  CaptureStreamConfiguration configuration_;
  Delegate delegate_;
  FramePool pool_;
  const bool onChange_;
  // Read on change only: the damage object, what changed since the last read.
  xcb_damage_damage_t damage_ = 0;
  bool changed_ = true;
  double lastRead_ = -1e9;
  std::pair<int, int> pointer_{-1, -1};
  bool rateTimerArmed_ = false;
  common::SerialQueue queue_;
  common::AsioTimerFactory timers_;
  std::unique_ptr<FramePacer> pacer_;
  std::unique_ptr<common::Timer> rateTimer_;
  std::unique_ptr<asio::posix::stream_descriptor> events_;
};

class X11CaptureBackend final : public CaptureBackend {
 public:
  X11CaptureBackend(std::string display, std::unique_ptr<X11Connection> connection,
                    X11CaptureTiming timing)
      : display_(std::move(display)), timing_(timing), connection_(std::move(connection)) {
    negotiateExtensions(*connection_);
  }

  ~X11CaptureBackend() override { stopWatching(); }

  Expected<ShareableContent, CaptureError> shareableContent(bool onScreenWindowsOnly) override {
    std::lock_guard lock(mutex_);
    // A connection learns that its server went away only from the requests that fail: the first
    // round may find out, the second one then runs on a new connection if the display is back.
    for (int attempt = 0; attempt < 2; ++attempt) {
      X11Connection& connection = liveConnection();
      if (connection.broken()) break;
      ShareableContent content;
      const auto list = monitors(connection);
      const uint32_t main = mainMonitorId(list);
      for (const Monitor& monitor : list) {
        content.displays.push_back(
            CaptureDisplay{monitor.id, monitor.frame, 1.0, monitor.id == main});
      }
      for (xcb_window_t window : windowsFrontToBack(connection)) {
        if (auto described = describeWindow(connection, window, onScreenWindowsOnly)) {
          content.windows.push_back(std::move(*described));
        }
      }
      if (!connection.broken()) return content;
    }
    return unexpected(unavailable("the X connection is broken"));
  }

  uint32_t mainDisplayId() override {
    std::lock_guard lock(mutex_);
    return mainMonitorId(monitors(liveConnection()));
  }

  std::optional<CaptureRect> displayBounds(uint32_t displayId) override {
    std::lock_guard lock(mutex_);
    for (const Monitor& monitor : monitors(liveConnection())) {
      if (monitor.id == displayId) return monitor.frame;
    }
    return std::nullopt;
  }

  Expected<std::unique_ptr<CaptureStream>, CaptureError> createStream(
      const CaptureFilter& filter, const CaptureStreamConfiguration& configuration,
      CaptureStream::Delegate delegate) override {
    if (configuration.width <= 0 || configuration.height <= 0) {
      return unexpected(CaptureError{CaptureError::Code::failed, "invalid frame size"});
    }
    // Each stream has a connection of its own: its shared memory and its errors stay its own.
    auto connection = X11Connection::open(display_);
    if (!connection) return unexpected(unavailable("cannot open display " + display_));
    negotiateExtensions(*connection);
    return std::make_unique<X11Stream>(std::move(connection), filter, configuration,
                                       std::move(delegate), timing_);
  }

  Expected<BgraFrame, CaptureError> screenshot(const CaptureFilter& filter, int width, int height,
                                               bool showsCursor) override {
    if (width <= 0 || height <= 0) {
      return unexpected(CaptureError{CaptureError::Code::failed, "invalid picture size"});
    }
    std::lock_guard lock(mutex_);
    X11Connection& connection = liveConnection();
    ImageGrabber grabber(connection);
    BgraFrame view;
    switch (grabSource(connection, grabber, filter, showsCursor, view)) {
      case GrabResult::sourceGone:
        return unexpected(CaptureError{CaptureError::Code::sourceMissing, ""});
      case GrabResult::failed:
        return unexpected(CaptureError{CaptureError::Code::failed, "the picture could not be read"});
      case GrabResult::ok:
        break;
    }
    BgraFrame picture = allocateBgraFrame(width, height);
    placeInFrame(view, picture, PixelRect{0, 0, width, height});
    return picture;
  }

  void setDisplayChangeHandler(std::function<void()> handler) override {
    stopWatching();
    if (!handler) return;
    auto events = X11Connection::open(display_);
    if (!events || !events->hasExtension(&xcb_randr_id)) return;
    negotiateExtensions(*events);
    xcb_randr_select_input(events->get(), events->root(),
                           XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE |
                               XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    xcb_flush(events->get());
    watching_ = true;
    watcher_ = std::thread([this, events = std::move(events), handler = std::move(handler)] {
      common::nameCurrentThread("com.zavel.ferrowin.capture.x11-displays");
      watch(*events, handler);
    });
  }

 private:
  /// The connection, made again when the last one broke and the display answers again: an X
  /// server that went away and came back on the same display is captured by the next stream.
  /// Under mutex_.
  X11Connection& liveConnection() {
    if (connection_->broken()) {
      if (auto fresh = X11Connection::open(display_)) {
        negotiateExtensions(*fresh);
        connection_ = std::move(fresh);
      }
    }
    return *connection_;
  }

  void watch(X11Connection& events, const std::function<void()>& handler) {
    pollfd descriptor{xcb_get_file_descriptor(events.get()), POLLIN, 0};
    while (watching_ && !events.broken()) {
      if (::poll(&descriptor, 1, 100) <= 0) continue;
      // A burst of notifications (one per CRTC and output) is one change.
      bool changed = false;
      while (xcb_generic_event_t* event = xcb_poll_for_event(events.get())) {
        if ((event->response_type & 0x7F) != 0) changed = true;
        std::free(event);
      }
      if (changed && watching_) handler();
    }
  }

  void stopWatching() {
    watching_ = false;
    if (watcher_.joinable()) watcher_.join();
  }

  std::string display_;
  X11CaptureTiming timing_;
  std::mutex mutex_;
  std::unique_ptr<X11Connection> connection_;
  std::atomic<bool> watching_{false};
  std::thread watcher_;
};

}  // namespace

Expected<std::unique_ptr<CaptureBackend>, CaptureError> makeX11CaptureBackend(
    const std::string& display, X11CaptureTiming timing) {
  auto connection = X11Connection::open(display);
  if (!connection) return unexpected(unavailable("cannot open display " + display));
  return std::make_unique<X11CaptureBackend>(display, std::move(connection), timing);
}

}  // namespace ferrowin::platform
