#include "platform/linux/x11_virtual_display.h"

#include <xcb/randr.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "common/util/log.h"
#include "platform/linux/x11_connection.h"

namespace ferrowin::platform {

namespace {

using x11::X11Connection;

auto vdisplayLog() { return common::logger("com.zavel.ferrowin", "vdisplay"); }

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <class T>
Reply<T> reply(T* pointer) {
  return Reply<T>(pointer, &std::free);
}

constexpr xcb_render_fixed_t kFixedOne = 1 << 16;

xcb_render_transform_t identityTransform() {
  return {kFixedOne, 0, 0, 0, kFixedOne, 0, 0, 0, kFixedOne};
}

bool sameTransform(const xcb_render_transform_t& a, const xcb_render_transform_t& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

struct OutputState {
  xcb_randr_output_t id = 0;
  std::string name;
  uint8_t connection = XCB_RANDR_CONNECTION_UNKNOWN;
  xcb_randr_crtc_t crtc = 0;
  std::vector<xcb_randr_crtc_t> possibleCrtcs;
};

struct CrtcState {
  xcb_randr_crtc_t id = 0;
  int16_t x = 0;
  int16_t y = 0;
  uint16_t width = 0;  // on screen: after rotation and transform
  uint16_t height = 0;
  xcb_randr_mode_t mode = 0;
  uint16_t rotation = XCB_RANDR_ROTATION_ROTATE_0;
  std::vector<xcb_randr_output_t> outputs;
  // Read only for the CRTCs whose transform a transaction changes.
  std::optional<xcb_render_transform_t> transform;
  std::string filter;

  bool enabled() const { return mode != 0; }
  bool sameConfig(const CrtcState& other) const {
    return x == other.x && y == other.y && mode == other.mode && rotation == other.rotation &&
           outputs == other.outputs;
  }
  bool sameTransformAs(const CrtcState& other) const {
    if (!transform || !other.transform) return true;
    return sameTransform(*transform, *other.transform) && filter == other.filter;
  }
};

/// What an arrangement transaction reads and restores.
struct Layout {
  xcb_timestamp_t configTimestamp = 0;
  uint16_t width = 0;
  uint16_t height = 0;
  uint32_t mmWidth = 0;
  uint32_t mmHeight = 0;
  uint16_t minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
  xcb_randr_output_t primary = 0;
  std::vector<CrtcState> crtcs;
  std::vector<OutputState> outputs;
  std::vector<xcb_randr_mode_info_t> modes;

  CrtcState* crtc(xcb_randr_crtc_t id) {
    auto it =
        std::find_if(crtcs.begin(), crtcs.end(), [&](const CrtcState& c) { return c.id == id; });
    return it == crtcs.end() ? nullptr : &*it;
  }
  const CrtcState* crtc(xcb_randr_crtc_t id) const { return const_cast<Layout*>(this)->crtc(id); }
  const xcb_randr_mode_info_t* mode(xcb_randr_mode_t id) const {
    auto it = std::find_if(modes.begin(), modes.end(),
                           [&](const xcb_randr_mode_info_t& m) { return m.id == id; });
    return it == modes.end() ? nullptr : &*it;
  }
  const OutputState* output(xcb_randr_output_t id) const {
    auto it = std::find_if(outputs.begin(), outputs.end(),
                           [&](const OutputState& o) { return o.id == id; });
    return it == outputs.end() ? nullptr : &*it;
  }
  /// The smallest screen that holds every enabled CRTC (at least the server's minimum).
  std::pair<int, int> boundingBox() const {
    int right = minWidth, bottom = minHeight;
    for (const CrtcState& c : crtcs) {
      if (!c.enabled()) continue;
      right = std::max(right, c.x + c.width);
      bottom = std::max(bottom, c.y + c.height);
    }
    return {right, bottom};
  }
};

std::optional<Layout> readLayout(X11Connection& connection) {
  xcb_connection_t* c = connection.get();
  auto resources = reply(xcb_randr_get_screen_resources_current_reply(
      c, xcb_randr_get_screen_resources_current(c, connection.root()), nullptr));
  auto geometry = reply(xcb_get_geometry_reply(c, xcb_get_geometry(c, connection.root()), nullptr));
  auto range = reply(xcb_randr_get_screen_size_range_reply(
      c, xcb_randr_get_screen_size_range(c, connection.root()), nullptr));
  auto primary = reply(xcb_randr_get_output_primary_reply(
      c, xcb_randr_get_output_primary(c, connection.root()), nullptr));
  if (!resources || !geometry || !range || !primary) return std::nullopt;
  Layout layout;
  layout.configTimestamp = resources->config_timestamp;
  layout.width = geometry->width;
  layout.height = geometry->height;
  const xcb_setup_t* setup = xcb_get_setup(c);
  for (auto screens = xcb_setup_roots_iterator(setup); screens.rem > 0; xcb_screen_next(&screens)) {
    if (screens.data->root == connection.root()) {
      layout.mmWidth = screens.data->width_in_millimeters;
      layout.mmHeight = screens.data->height_in_millimeters;
    }
  }
  layout.minWidth = range->min_width;
  layout.minHeight = range->min_height;
  layout.maxWidth = range->max_width;
  layout.maxHeight = range->max_height;
  layout.primary = primary->output;

  const xcb_randr_mode_info_t* modes =
      xcb_randr_get_screen_resources_current_modes(resources.get());
  layout.modes.assign(modes,
                      modes + xcb_randr_get_screen_resources_current_modes_length(resources.get()));

  const xcb_randr_crtc_t* crtcs = xcb_randr_get_screen_resources_current_crtcs(resources.get());
  const int crtcCount = xcb_randr_get_screen_resources_current_crtcs_length(resources.get());
  for (int i = 0; i < crtcCount; ++i) {
    auto info = reply(xcb_randr_get_crtc_info_reply(
        c, xcb_randr_get_crtc_info(c, crtcs[i], layout.configTimestamp), nullptr));
    if (!info) return std::nullopt;
    CrtcState crtc{crtcs[i],   info->x,        info->y, info->width,  info->height,
                   info->mode, info->rotation, {},      std::nullopt, {}};
    const xcb_randr_output_t* outputs = xcb_randr_get_crtc_info_outputs(info.get());
    crtc.outputs.assign(outputs, outputs + xcb_randr_get_crtc_info_outputs_length(info.get()));
    layout.crtcs.push_back(std::move(crtc));
  }
  const xcb_randr_output_t* outputs =
      xcb_randr_get_screen_resources_current_outputs(resources.get());
  const int outputCount = xcb_randr_get_screen_resources_current_outputs_length(resources.get());
  for (int i = 0; i < outputCount; ++i) {
    auto info = reply(xcb_randr_get_output_info_reply(
        c, xcb_randr_get_output_info(c, outputs[i], layout.configTimestamp), nullptr));
    if (!info) return std::nullopt;
    OutputState output;
    output.id = outputs[i];
    output.name.assign(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(info.get())),
                       size_t(xcb_randr_get_output_info_name_length(info.get())));
    output.connection = info->connection;
    output.crtc = info->crtc;
    const xcb_randr_crtc_t* possible = xcb_randr_get_output_info_crtcs(info.get());
    output.possibleCrtcs.assign(possible,
                                possible + xcb_randr_get_output_info_crtcs_length(info.get()));
    layout.outputs.push_back(std::move(output));
  }
  return layout;
}

void readTransform(X11Connection& connection, CrtcState& crtc) {
  if (crtc.transform) return;
  xcb_connection_t* c = connection.get();
  auto answer = reply(
      xcb_randr_get_crtc_transform_reply(c, xcb_randr_get_crtc_transform(c, crtc.id), nullptr));
  crtc.transform = identityTransform();
  if (!answer) return;
  crtc.transform = answer->current_transform;
  crtc.filter.assign(xcb_randr_get_crtc_transform_current_filter_name(answer.get()),
                     size_t(xcb_randr_get_crtc_transform_current_filter_name_length(answer.get())));
}

std::pair<int, int> modeSize(const Layout& layout, const CrtcState& crtc) {
  const xcb_randr_mode_info_t* mode = layout.mode(crtc.mode);
  if (!mode) return {crtc.width, crtc.height};
  const bool sideways =
      crtc.rotation & (XCB_RANDR_ROTATION_ROTATE_90 | XCB_RANDR_ROTATION_ROTATE_270);
  return sideways ? std::pair<int, int>{mode->height, mode->width}
                  : std::pair<int, int>{mode->width, mode->height};
}

int errorCode(xcb_generic_error_t* error) {
  const int code = error ? error->error_code : 0;
  std::free(error);
  return code;
}

/// Millimetres for a screen of `pixels` at the resolution `layout` has now.
uint32_t millimetres(int pixels, uint32_t currentMm, int currentPixels) {
  if (currentMm == 0 || currentPixels == 0) return uint32_t(std::lround(pixels * 25.4 / 96.0));
  return uint32_t(std::lround(double(pixels) * currentMm / currentPixels));
}

int setScreenSize(X11Connection& connection, int width, int height, uint32_t mmWidth,
                  uint32_t mmHeight) {
  xcb_connection_t* c = connection.get();
  return errorCode(
      xcb_request_check(c, xcb_randr_set_screen_size_checked(c, connection.root(), uint16_t(width),
                                                             uint16_t(height), mmWidth, mmHeight)));
}

int setCrtc(X11Connection& connection, const Layout& layout, const CrtcState& crtc,
            const CrtcState& previous) {
  xcb_connection_t* c = connection.get();
  if (crtc.transform && previous.transform && !crtc.sameTransformAs(previous)) {
    // Takes effect with the next SetCrtcConfig.
    if (int code = errorCode(xcb_request_check(
            c, xcb_randr_set_crtc_transform_checked(c, crtc.id, *crtc.transform,
                                                    uint16_t(crtc.filter.size()),
                                                    crtc.filter.data(), 0, nullptr)))) {
      return code;
    }
  }
  xcb_generic_error_t* error = nullptr;
  auto answer = reply(xcb_randr_set_crtc_config_reply(
      c,
      xcb_randr_set_crtc_config(c, crtc.id, XCB_CURRENT_TIME, layout.configTimestamp, crtc.x,
                                crtc.y, crtc.mode, crtc.rotation, uint32_t(crtc.outputs.size()),
                                crtc.outputs.data()),
      &error));
  if (error) return errorCode(error);
  if (!answer) return kConnectionLost;
  return answer->status == XCB_RANDR_SET_CONFIG_SUCCESS ? 0 : 100 + answer->status;
}

int setPrimary(X11Connection& connection, xcb_randr_output_t output) {
  xcb_connection_t* c = connection.get();
  return errorCode(
      xcb_request_check(c, xcb_randr_set_output_primary_checked(c, connection.root(), output)));
}

/// Moves the server from `current` to `target` (same CRTCs, in the same order). On any failure
/// everything applied so far is undone in reverse and the first failure's code is returned.
int applyLayout(X11Connection& connection, const Layout& current, const Layout& target) {
  const auto [width, height] = target.boundingBox();
  if (width > current.maxWidth || height > current.maxHeight) return kScreenSizeOutOfRange;
  // While CRTCs move, the screen holds both the old and the new places.
  const int grownWidth = std::max<int>(current.width, target.width);
  const int grownHeight = std::max<int>(current.height, target.height);
  auto grow = [&] {
    if (grownWidth == current.width && grownHeight == current.height) return 0;
    return setScreenSize(connection, grownWidth, grownHeight,
                         millimetres(grownWidth, current.mmWidth, current.width),
                         millimetres(grownHeight, current.mmHeight, current.height));
  };
  if (int code = grow()) return code;

  std::vector<size_t> applied;
  auto undo = [&](int code) {
    (void)grow();
    for (auto it = applied.rbegin(); it != applied.rend(); ++it) {
      if (int undone = setCrtc(connection, current, current.crtcs[*it], target.crtcs[*it])) {
        vdisplayLog()->error("RandR: restoring CRTC {} failed ({})", current.crtcs[*it].id, undone);
      }
    }
    (void)setScreenSize(connection, current.width, current.height, current.mmWidth,
                        current.mmHeight);
    if (target.primary != current.primary) (void)setPrimary(connection, current.primary);
    return code;
  };

  // Switching off first leaves room for the others.
  std::vector<size_t> order(target.crtcs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_partition(order.begin(), order.end(),
                        [&](size_t i) { return !target.crtcs[i].enabled(); });
  for (size_t i : order) {
    const CrtcState& wanted = target.crtcs[i];
    const CrtcState& now = current.crtcs[i];
    if (wanted.sameConfig(now) && wanted.sameTransformAs(now)) continue;
    if (int code = setCrtc(connection, current, wanted, now)) return undo(code);
    applied.push_back(i);
  }
  if (target.width != grownWidth || target.height != grownHeight ||
      (target.mmWidth &&
       (target.mmWidth != current.mmWidth || target.mmHeight != current.mmHeight))) {
    const uint32_t mmWidth =
        target.mmWidth ? target.mmWidth : millimetres(target.width, current.mmWidth, current.width);
    const uint32_t mmHeight = target.mmHeight
                                  ? target.mmHeight
                                  : millimetres(target.height, current.mmHeight, current.height);
    if (int code = setScreenSize(connection, target.width, target.height, mmWidth, mmHeight)) {
      return undo(code);
    }
  }
  if (target.primary != current.primary) {
    if (int code = setPrimary(connection, target.primary)) return undo(code);
  }
  return 0;
}

/// `target` sized to its bounding box; its millimetres follow at the current resolution.
void fitScreen(Layout& target) {
  const auto [width, height] = target.boundingBox();
  target.width = uint16_t(std::min<int>(width, 65535));
  target.height = uint16_t(std::min<int>(height, 65535));
  target.mmWidth = 0;
  target.mmHeight = 0;
}

class ServerGrab {
 public:
  explicit ServerGrab(X11Connection& connection) : connection_(connection) {
    xcb_grab_server(connection_.get());
  }
  ~ServerGrab() {
    xcb_ungrab_server(connection_.get());
    xcb_flush(connection_.get());
  }

 private:
  X11Connection& connection_;
};

struct MonitorEntry {
  uint32_t id;  // the name atom
  CaptureRect frame;
  bool primary;
  std::vector<xcb_randr_output_t> outputs;
};

std::vector<MonitorEntry> monitors(X11Connection& connection) {
  std::vector<MonitorEntry> out;
  xcb_connection_t* c = connection.get();
  auto answer = reply(
      xcb_randr_get_monitors_reply(c, xcb_randr_get_monitors(c, connection.root(), 1), nullptr));
  if (!answer) return out;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(answer.get()); it.rem > 0;
       xcb_randr_monitor_info_next(&it)) {
    const xcb_randr_output_t* outputs = xcb_randr_monitor_info_outputs(it.data);
    out.push_back(
        MonitorEntry{it.data->name,
                     CaptureRect{double(it.data->x), double(it.data->y), double(it.data->width),
                                 double(it.data->height)},
                     it.data->primary != 0,
                     std::vector<xcb_randr_output_t>(
                         outputs, outputs + xcb_randr_monitor_info_outputs_length(it.data))});
  }
  return out;
}

uint32_t mainOf(const std::vector<MonitorEntry>& list) {
  for (const MonitorEntry& monitor : list) {
    if (monitor.primary) return monitor.id;
  }
  return list.empty() ? 0 : list.front().id;
}

std::string atomName(X11Connection& connection, xcb_atom_t atom) {
  xcb_connection_t* c = connection.get();
  auto answer = reply(xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr));
  if (!answer) return {};
  return std::string(xcb_get_atom_name_name(answer.get()),
                     size_t(xcb_get_atom_name_name_length(answer.get())));
}

/// Manufacturer and product code from the output's EDID; zeros without one.
std::pair<uint32_t, uint32_t> edidIdentity(X11Connection& connection, xcb_randr_output_t output) {
  const xcb_atom_t edid = connection.atom("EDID");
  if (edid == XCB_ATOM_NONE) return {0, 0};
  xcb_connection_t* c = connection.get();
  auto answer = reply(xcb_randr_get_output_property_reply(
      c, xcb_randr_get_output_property(c, output, edid, XCB_ATOM_ANY, 0, 32, 0, 0), nullptr));
  if (!answer || answer->format != 8) return {0, 0};
  const uint8_t* bytes = xcb_randr_get_output_property_data(answer.get());
  const int length = xcb_randr_get_output_property_data_length(answer.get());
  if (length < 12) return {0, 0};
  return {uint32_t(bytes[8] << 8 | bytes[9]), uint32_t(bytes[10] | bytes[11] << 8)};
}

bool isBuiltinConnector(const std::string& name) {
  for (const char* prefix : {"eDP", "LVDS", "DSI"}) {
    if (name.size() >= std::strlen(prefix) &&
        strncasecmp(name.c_str(), prefix, std::strlen(prefix)) == 0) {
      return true;
    }
  }
  return false;
}

/// The connection every object of one backend shares, under one lock.
struct Server {
  std::mutex lock;
  std::unique_ptr<X11Connection> connection;
};

class X11VirtualMonitor final : public VirtualMonitor {
 public:
  X11VirtualMonitor(std::shared_ptr<Server> server, xcb_randr_output_t output, std::string name,
                    xcb_randr_mode_t mode, uint32_t displayId, Layout before)
      : server_(std::move(server)),
        output_(output),
        outputName_(std::move(name)),
        mode_(mode),
        displayId_(displayId),
        before_(std::move(before)) {}

  ~X11VirtualMonitor() override {
    std::lock_guard guard(server_->lock);
    X11Connection& connection = *server_->connection;
    if (connection.broken()) return;
    {
      ServerGrab grab(connection);
      auto current = readLayout(connection);
      if (!current) return;
      Layout target = *current;
      for (CrtcState& crtc : target.crtcs) {
        if (std::find(crtc.outputs.begin(), crtc.outputs.end(), output_) == crtc.outputs.end())
          continue;
        crtc.outputs.erase(std::remove(crtc.outputs.begin(), crtc.outputs.end(), output_),
                           crtc.outputs.end());
        if (crtc.outputs.empty()) crtc.mode = 0, crtc.x = 0, crtc.y = 0;
      }
      // What remains starts at (0, 0) again (a main-display placement moved it right), and
      // the display there is primary when the monitor was.
      int left = INT16_MAX, top = INT16_MAX;
      for (const CrtcState& crtc : target.crtcs) {
        if (!crtc.enabled()) continue;
        left = std::min<int>(left, crtc.x);
        top = std::min<int>(top, crtc.y);
      }
      for (CrtcState& crtc : target.crtcs) {
        if (!crtc.enabled()) continue;
        crtc.x = int16_t(crtc.x - left);
        crtc.y = int16_t(crtc.y - top);
        if (target.primary == output_ && crtc.x == 0 && crtc.y == 0 && !crtc.outputs.empty()) {
          target.primary = crtc.outputs.front();
        }
      }
      if (target.primary == output_) target.primary = 0;
      fitScreen(target);
      // Back to the screen the monitor was added to when that still holds everything.
      const auto [width, height] = target.boundingBox();
      if (width <= before_.width && height <= before_.height) {
        target.width = before_.width;
        target.height = before_.height;
        target.mmWidth = before_.mmWidth;
        target.mmHeight = before_.mmHeight;
      }
      if (int code = applyLayout(connection, *current, target)) {
        vdisplayLog()->error("Virtual display {}: switching {} off failed ({})", displayId_,
                             outputName_, code);
      }
      xcb_connection_t* c = connection.get();
      if (int code = errorCode(
              xcb_request_check(c, xcb_randr_delete_output_mode_checked(c, output_, mode_)))) {
        vdisplayLog()->warn("Virtual display {}: deleting the mode of {} failed ({})", displayId_,
                            outputName_, code);
      }
      if (int code = errorCode(xcb_request_check(c, xcb_randr_destroy_mode_checked(c, mode_)))) {
        vdisplayLog()->warn("Virtual display {}: destroying its mode failed ({})", displayId_,
                            code);
      }
    }
    vdisplayLog()->info("Virtual display {} removed ({})", displayId_, outputName_);
  }

  uint32_t displayId() const override { return displayId_; }

 private:
  std::shared_ptr<Server> server_;
  xcb_randr_output_t output_;
  std::string outputName_;
  xcb_randr_mode_t mode_;
  uint32_t displayId_;
  Layout before_;
};

class X11Configuration final : public DisplayConfiguration {
 public:
  explicit X11Configuration(std::shared_ptr<Server> server) : server_(std::move(server)) {
    std::lock_guard guard(server_->lock);
    for (const MonitorEntry& monitor : monitors(*server_->connection)) {
      if (!monitor.outputs.empty()) outputs_[monitor.id] = monitor.outputs.front();
    }
  }

  int configureMirror(uint32_t display, uint32_t master) override {
    auto it = outputs_.find(display);
    if (it == outputs_.end()) return kDisplayNotFound;
    if (master == 0) {
      changes_[it->second].unmirror = true;
      changes_[it->second].mirrorOf.reset();
      return 0;
    }
    auto masterIt = outputs_.find(master);
    if (masterIt == outputs_.end()) return kDisplayNotFound;
    changes_[it->second].mirrorOf = masterIt->second;
    return 0;
  }

  int configureOrigin(uint32_t display, int32_t x, int32_t y) override {
    auto it = outputs_.find(display);
    if (it == outputs_.end()) return kDisplayNotFound;
    if (x < 0 || y < 0) return kNegativeOrigin;
    if (x > INT16_MAX || y > INT16_MAX) return kScreenSizeOutOfRange;
    changes_[it->second].origin = std::pair<int, int>{x, y};
    if (x == 0 && y == 0) newPrimary_ = it->second;
    return 0;
  }

  int complete() override {
    if (done_) return 0;
    done_ = true;
    std::lock_guard guard(server_->lock);
    X11Connection& connection = *server_->connection;
    if (connection.broken()) return kConnectionLost;
    ServerGrab grab(connection);
    auto current = readLayout(connection);
    if (!current) return kConnectionLost;
    Layout target = *current;
    auto crtcOf = [&](xcb_randr_output_t output) -> std::optional<size_t> {
      const OutputState* state = current->output(output);
      if (!state || state->crtc == 0) return std::nullopt;
      for (size_t i = 0; i < current->crtcs.size(); ++i) {
        if (current->crtcs[i].id == state->crtc) return i;
      }
      return std::nullopt;
    };
    // Origins and unmirroring first; mirrors then follow their master's new place.
    for (const auto& [output, change] : changes_) {
      auto index = crtcOf(output);
      if (!index) return kDisplayNotFound;
      CrtcState& crtc = target.crtcs[*index];
      if (change.unmirror || change.mirrorOf) {
        readTransform(connection, current->crtcs[*index]);
        crtc.transform = current->crtcs[*index].transform;
        crtc.filter = current->crtcs[*index].filter;
      }
      if (change.unmirror && !sameTransform(*crtc.transform, identityTransform())) {
        crtc.transform = identityTransform();
        crtc.filter.clear();
        std::tie(crtc.width, crtc.height) = modeSize(*current, crtc);
      }
      if (change.origin) {
        crtc.x = int16_t(change.origin->first);
        crtc.y = int16_t(change.origin->second);
      }
    }
    for (const auto& [output, change] : changes_) {
      if (!change.mirrorOf) continue;
      auto index = crtcOf(output);
      auto masterIndex = crtcOf(*change.mirrorOf);
      if (!index || !masterIndex) return kDisplayNotFound;
      CrtcState& crtc = target.crtcs[*index];
      const CrtcState& master = target.crtcs[*masterIndex];
      const auto [modeWidth, modeHeight] = modeSize(*current, crtc);
      xcb_render_transform_t scale = identityTransform();
      // The transform maps the output's pixels onto the screen: scaled up to the master's area.
      scale.matrix11 =
          xcb_render_fixed_t(std::lround(double(master.width) / modeWidth * kFixedOne));
      scale.matrix22 =
          xcb_render_fixed_t(std::lround(double(master.height) / modeHeight * kFixedOne));
      crtc.transform = scale;
      crtc.filter = "bilinear";
      crtc.x = master.x;
      crtc.y = master.y;
      crtc.width = master.width;
      crtc.height = master.height;
    }
    if (newPrimary_) target.primary = *newPrimary_;
    fitScreen(target);
    return applyLayout(connection, *current, target);
  }

  void cancel() override { done_ = true; }

 private:
  struct Change {
    std::optional<std::pair<int, int>> origin;
    std::optional<xcb_randr_output_t> mirrorOf;
    bool unmirror = false;
  };

  std::shared_ptr<Server> server_;
  std::map<uint32_t, xcb_randr_output_t> outputs_;  // display id → its first output
  std::map<xcb_randr_output_t, Change> changes_;
  std::optional<xcb_randr_output_t> newPrimary_;
  bool done_ = false;
};

class X11VirtualDisplayBackend final : public VirtualDisplayBackend {
 public:
  explicit X11VirtualDisplayBackend(std::unique_ptr<X11Connection> connection)
      : server_(std::make_shared<Server>()) {
    xcb_connection_t* c = connection->get();
    if (connection->hasExtension(&xcb_randr_id)) {
      if (auto version =
              reply(xcb_randr_query_version_reply(c, xcb_randr_query_version(c, 1, 5), nullptr))) {
        randrVersion_ = version->major_version * 100 + version->minor_version;
      }
    }
    server_->connection = std::move(connection);
  }

  std::optional<std::string> missingReason() override {
    if (randrVersion_ < 102) {
      return "RandR virtual outputs are missing from this X server (it has no RandR 1.2).";
    }
    std::lock_guard guard(server_->lock);
    if (server_->connection->broken()) {
      return "RandR virtual outputs are missing: the X server connection is lost.";
    }
    auto layout = readLayout(*server_->connection);
    if (!layout || spareOutputs(*layout).empty()) {
      return "RandR virtual outputs are missing from this X server (no spare output with a free "
             "CRTC).";
    }
    return std::nullopt;
  }

  Expected<std::unique_ptr<VirtualMonitor>, std::string> createMonitor(
      const VirtualMonitorDescriptor& descriptor) override {
    std::lock_guard guard(server_->lock);
    X11Connection& connection = *server_->connection;
    if (connection.broken()) return unexpected(std::string("The X server connection is lost."));
    xcb_connection_t* c = connection.get();
    ServerGrab grab(connection);
    auto current = readLayout(connection);
    if (!current) return unexpected(std::string("RandR did not describe the screen."));
    const auto spares = spareOutputs(*current);
    const size_t index = descriptor.serialNum == 0 ? 0 : descriptor.serialNum - 1;
    if (index >= spares.size()) {
      return unexpected("No spare RandR output for serial " + std::to_string(descriptor.serialNum) +
                        ".");
    }
    const auto [output, crtcId] = spares[index];
    const std::string outputName = current->output(output)->name;

    const CvtMode timings =
        cvtReducedBlanking(descriptor.width, descriptor.height, descriptor.refreshHz);
    const std::string modeName =
        descriptor.name + " " + outputName + " " + std::to_string(descriptor.width) + "x" +
        std::to_string(descriptor.height) + "@" + std::to_string(std::lround(descriptor.refreshHz));
    xcb_randr_mode_info_t info{};
    info.width = timings.width;
    info.height = timings.height;
    info.dot_clock = timings.dotClockHz;
    info.hsync_start = timings.hsyncStart;
    info.hsync_end = timings.hsyncEnd;
    info.htotal = timings.htotal;
    info.vsync_start = timings.vsyncStart;
    info.vsync_end = timings.vsyncEnd;
    info.vtotal = timings.vtotal;
    info.name_len = uint16_t(modeName.size());
    info.mode_flags = XCB_RANDR_MODE_FLAG_HSYNC_POSITIVE | XCB_RANDR_MODE_FLAG_VSYNC_NEGATIVE;
    xcb_generic_error_t* error = nullptr;
    auto created = reply(xcb_randr_create_mode_reply(
        c,
        xcb_randr_create_mode(c, connection.root(), info, uint32_t(modeName.size()),
                              modeName.c_str()),
        &error));
    if (error || !created) {
      return unexpected("RandR refused the mode " + modeName + " (" +
                        std::to_string(errorCode(error)) + ").");
    }
    const xcb_randr_mode_t mode = created->mode;
    auto dropMode = [&] {
      std::free(xcb_request_check(c, xcb_randr_delete_output_mode_checked(c, output, mode)));
      std::free(xcb_request_check(c, xcb_randr_destroy_mode_checked(c, mode)));
    };
    if (int code =
            errorCode(xcb_request_check(c, xcb_randr_add_output_mode_checked(c, output, mode)))) {
      dropMode();
      return unexpected("RandR did not add the mode to " + outputName + " (" +
                        std::to_string(code) + ").");
    }
    auto withMode = readLayout(connection);
    if (!withMode) {
      dropMode();
      return unexpected(std::string("RandR did not describe the screen."));
    }
    // Switched on to the right of everything; placement moves it where it belongs.
    Layout target = *withMode;
    CrtcState* crtc = target.crtc(crtcId);
    int right = 0;
    for (const CrtcState& other : current->crtcs) {
      if (other.enabled()) right = std::max(right, other.x + other.width);
    }
    crtc->x = int16_t(std::min(right, INT16_MAX - int(timings.width)));
    crtc->y = 0;
    crtc->mode = mode;
    crtc->rotation = XCB_RANDR_ROTATION_ROTATE_0;
    crtc->outputs = {output};
    crtc->width = timings.width;
    crtc->height = timings.height;
    fitScreen(target);
    if (int code = applyLayout(connection, *withMode, target)) {
      dropMode();
      return unexpected("RandR could not switch " + outputName + " on at " +
                        std::to_string(descriptor.width) + "x" + std::to_string(descriptor.height) +
                        " (" + std::to_string(code) + ").");
    }
    const uint32_t displayId = connection.atom(outputName);
    vdisplayLog()->info(
        "Virtual display {} on {}: {}x{} @{:.3f} Hz; descriptor {} vendor 0x{:04x} product {} "
        "serial {}, {:.1f} x {:.1f} mm, white ({}, {}), red ({}, {}), green ({}, {}), blue ({}, "
        "{})",
        displayId, outputName, timings.width, timings.height, timings.refreshHz(), descriptor.name,
        descriptor.vendorID, descriptor.productID, descriptor.serialNum,
        descriptor.widthMillimetres, descriptor.heightMillimetres, descriptor.whitePoint.x,
        descriptor.whitePoint.y, descriptor.redPrimary.x, descriptor.redPrimary.y,
        descriptor.greenPrimary.x, descriptor.greenPrimary.y, descriptor.bluePrimary.x,
        descriptor.bluePrimary.y);
    return std::make_unique<X11VirtualMonitor>(server_, output, outputName, mode, displayId,
                                               *current);
  }

  std::vector<LiveDisplay> liveDisplays() override {
    std::lock_guard guard(server_->lock);
    X11Connection& connection = *server_->connection;
    std::vector<LiveDisplay> out;
    if (connection.broken()) return out;
    auto layout = readLayout(connection);
    if (!layout) return out;
    const auto list = monitors(connection);
    const uint32_t main = mainOf(list);
    for (const MonitorEntry& monitor : list) {
      LiveDisplay display;
      display.id = monitor.id;
      display.pixelWidth = display.pointWidth = int(monitor.frame.width);
      display.pixelHeight = display.pointHeight = int(monitor.frame.height);
      display.isMain = monitor.id == main;
      display.name = atomName(connection, monitor.id);
      if (!monitor.outputs.empty()) {
        const xcb_randr_output_t output = monitor.outputs.front();
        if (const OutputState* state = layout->output(output)) {
          display.isBuiltin = isBuiltinConnector(state->name);
          if (CrtcState* crtc = layout->crtc(state->crtc)) {
            if (const xcb_randr_mode_info_t* mode = layout->mode(crtc->mode);
                mode && mode->htotal && mode->vtotal) {
              display.refreshHz = double(mode->dot_clock) / (double(mode->htotal) * mode->vtotal);
            }
          }
        }
        std::tie(display.vendorID, display.productID) = edidIdentity(connection, output);
      }
      display.isMirrored = std::any_of(list.begin(), list.end(), [&](const MonitorEntry& other) {
        return other.id != monitor.id && other.frame == monitor.frame;
      });
      out.push_back(std::move(display));
    }
    return out;
  }

  uint32_t mainDisplayId() override {
    std::lock_guard guard(server_->lock);
    if (server_->connection->broken()) return 0;
    return mainOf(monitors(*server_->connection));
  }

  std::optional<CaptureRect> displayBounds(uint32_t displayId) override {
    std::lock_guard guard(server_->lock);
    if (server_->connection->broken()) return std::nullopt;
    for (const MonitorEntry& monitor : monitors(*server_->connection)) {
      if (monitor.id == displayId) return monitor.frame;
    }
    return std::nullopt;
  }

  Expected<std::unique_ptr<DisplayConfiguration>, int> beginConfiguration() override {
    {
      std::lock_guard guard(server_->lock);
      if (server_->connection->broken()) return unexpected(kConnectionLost);
    }
    return std::make_unique<X11Configuration>(server_);
  }

 private:
  /// Outputs without a CRTC that drive no monitor, each with a free CRTC it can drive (distinct
  /// CRTCs). A connector is spare while nothing is plugged in; outputs without a connector (the
  /// dummy driver's DUMMYn, which it reports connected once used, and the VIRTUALn outputs of
  /// some drivers) whenever they have no CRTC.
  static std::vector<std::pair<xcb_randr_output_t, xcb_randr_crtc_t>> spareOutputs(
      const Layout& layout) {
    std::vector<std::pair<xcb_randr_output_t, xcb_randr_crtc_t>> out;
    std::vector<xcb_randr_crtc_t> taken;
    for (const OutputState& output : layout.outputs) {
      const bool connectorless =
          output.name.starts_with("DUMMY") || output.name.starts_with("VIRTUAL");
      if (output.crtc != 0 ||
          (output.connection != XCB_RANDR_CONNECTION_DISCONNECTED && !connectorless)) {
        continue;
      }
      for (xcb_randr_crtc_t id : output.possibleCrtcs) {
        const CrtcState* crtc = layout.crtc(id);
        if (!crtc || crtc->enabled() || !crtc->outputs.empty()) continue;
        if (std::find(taken.begin(), taken.end(), id) != taken.end()) continue;
        taken.push_back(id);
        out.emplace_back(output.id, id);
        break;
      }
    }
    return out;
  }

  std::shared_ptr<Server> server_;
  int randrVersion_ = 0;
};

}  // namespace

CvtMode cvtReducedBlanking(int width, int height, double refreshHz) {
  // VESA CVT 1.2, reduced blanking v1: 160 pixels of horizontal blanking (32 of them sync, 48
  // front porch), at least 460 µs of vertical blanking, 3 lines front porch, at least 6 back
  // porch, sync width by aspect ratio, pixel clock in 0.25 MHz steps.
  constexpr double kMinVBlankMicros = 460;
  constexpr int kHBlank = 160, kHSync = 32, kVFrontPorch = 3, kMinVBackPorch = 6;
  constexpr double kClockStepMHz = 0.25;
  const double rate = refreshHz > 0 ? refreshHz : 60;
  int vsync = 10;
  if (height * 4 == width * 3)
    vsync = 4;
  else if (height * 16 == width * 9)
    vsync = 5;
  else if (height * 16 == width * 10)
    vsync = 6;
  else if (height * 5 == width * 4 || height * 15 == width * 9)
    vsync = 7;
  const double hPeriodEstimate = (1'000'000.0 / rate - kMinVBlankMicros) / height;
  const int vbiLines = std::max(int(std::floor(kMinVBlankMicros / hPeriodEstimate)) + 1,
                                kVFrontPorch + vsync + kMinVBackPorch);
  const int vtotal = height + vbiLines;
  const int htotal = width + kHBlank;
  const double clockMHz =
      kClockStepMHz * std::floor(rate * vtotal * htotal / 1'000'000.0 / kClockStepMHz);
  CvtMode mode;
  mode.dotClockHz = uint32_t(std::lround(clockMHz * 1'000'000.0));
  mode.width = uint16_t(width);
  mode.hsyncStart = uint16_t(width + kHBlank / 2 - kHSync);
  mode.hsyncEnd = uint16_t(width + kHBlank / 2);
  mode.htotal = uint16_t(htotal);
  mode.height = uint16_t(height);
  mode.vsyncStart = uint16_t(height + kVFrontPorch);
  mode.vsyncEnd = uint16_t(height + kVFrontPorch + vsync);
  mode.vtotal = uint16_t(vtotal);
  return mode;
}

std::shared_ptr<VirtualDisplayBackend> makeX11VirtualDisplayBackend(const std::string& display) {
  auto connection = X11Connection::open(display);
  if (!connection) return nullptr;
  return std::make_shared<X11VirtualDisplayBackend>(std::move(connection));
}

}  // namespace ferrowin::platform
