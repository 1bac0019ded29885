#include "platform/fake/fake_virtual_displays.h"

#include <algorithm>
#include <cmath>

namespace ferrowin::platform {

namespace {

class FakeMonitor final : public VirtualMonitor {
 public:
  FakeMonitor(std::weak_ptr<FakeVirtualDisplays> owner, uint32_t id)
      : owner_(std::move(owner)), id_(id) {}
  ~FakeMonitor() override {
    if (auto owner = owner_.lock()) owner->remove(id_);
  }
  uint32_t displayId() const override { return id_; }

 private:
  std::weak_ptr<FakeVirtualDisplays> owner_;
  uint32_t id_;
};

class FakeConfiguration final : public DisplayConfiguration {
 public:
  explicit FakeConfiguration(std::shared_ptr<FakeVirtualDisplays> owner)
      : owner_(std::move(owner)) {}
  ~FakeConfiguration() override {
    if (!done_) cancel();
  }

  int configureMirror(uint32_t display, uint32_t master) override {
    owner_->journal.push_back("mirror " + std::to_string(display) + " " + std::to_string(master));
    if (!owner_->displayBounds(display)) return 1001;
    mirrors_[display] = master;
    return 0;
  }
  int configureOrigin(uint32_t display, int32_t x, int32_t y) override {
    owner_->journal.push_back("origin " + std::to_string(display) + " " + std::to_string(x) + "," +
                              std::to_string(y));
    if (auto it = owner_->originFailures.find(display); it != owner_->originFailures.end()) {
      return it->second;
    }
    auto bounds = owner_->displayBounds(display);
    if (!bounds) return 1001;
    frames_[display] = CaptureRect{double(x), double(y), bounds->width, bounds->height};
    if (x == 0 && y == 0) newMain_ = display;
    return 0;
  }
  int complete() override {
    done_ = true;
    owner_->journal.push_back("complete");
    if (owner_->completeFailure) return owner_->completeFailure;
    owner_->apply(frames_, mirrors_, newMain_);
    return 0;
  }
  void cancel() override {
    done_ = true;
    owner_->journal.push_back("cancel");
  }

 private:
  std::shared_ptr<FakeVirtualDisplays> owner_;
  std::map<uint32_t, CaptureRect> frames_;
  std::map<uint32_t, uint32_t> mirrors_;
  std::optional<uint32_t> newMain_;
  bool done_ = false;
};

}  // namespace

FakeVirtualDisplays::FakeVirtualDisplays(std::shared_ptr<SyntheticCaptureBackend> capture,
                                         std::vector<Display> displays)
    : capture_(std::move(capture)), displays_(std::move(displays)) {
  if (!displays_.empty()) main_ = displays_.front().id;
  publish();
}

Expected<std::unique_ptr<VirtualMonitor>, std::string> FakeVirtualDisplays::createMonitor(
    const VirtualMonitorDescriptor& descriptor) {
  journal.push_back("create " + std::to_string(descriptor.serialNum));
  lastDescriptor = descriptor;
  if (missing) return unexpected(*missing);
  if (failingSerials.count(descriptor.serialNum)) {
    return unexpected("No spare output for serial " + std::to_string(descriptor.serialNum) + ".");
  }
  double right = 0;
  for (const Display& display : displays_) {
    right = std::max(right, display.frame.x + display.frame.width);
  }
  const uint32_t id = nextId_++;
  displays_.push_back(
      Display{id, CaptureRect{right, 0, double(descriptor.width), double(descriptor.height)}});
  if (neverOnline) hidden_.insert(id);
  publish();
  return std::make_unique<FakeMonitor>(weak_from_this(), id);
}

std::vector<LiveDisplay> FakeVirtualDisplays::liveDisplays() {
  std::vector<LiveDisplay> out;
  for (const Display& display : displays_) {
    if (hidden_.count(display.id)) continue;
    LiveDisplay live;
    live.id = display.id;
    live.pixelWidth = live.pointWidth = int(std::lround(display.frame.width));
    live.pixelHeight = live.pointHeight = int(std::lround(display.frame.height));
    live.refreshHz = 60;
    live.isMain = display.id == main_;
    live.isBuiltin = display.isBuiltin;
    live.isMirrored = display.mirrorOf != 0 ||
                      std::any_of(displays_.begin(), displays_.end(), [&](const Display& other) {
                        return other.mirrorOf == display.id;
                      });
    out.push_back(live);
  }
  return out;
}

std::optional<CaptureRect> FakeVirtualDisplays::displayBounds(uint32_t displayId) {
  for (const Display& display : displays_) {
    if (display.id == displayId && !hidden_.count(displayId)) return display.frame;
  }
  return std::nullopt;
}

Expected<std::unique_ptr<DisplayConfiguration>, int> FakeVirtualDisplays::beginConfiguration() {
  return std::make_unique<FakeConfiguration>(shared_from_this());
}

void FakeVirtualDisplays::remove(uint32_t id) {
  journal.push_back("remove " + std::to_string(id));
  std::erase_if(displays_, [&](const Display& display) { return display.id == id; });
  for (Display& display : displays_) {
    if (display.mirrorOf == id) display.mirrorOf = 0;
  }
  hidden_.erase(id);
  if (main_ == id) main_ = displays_.empty() ? 0 : displays_.front().id;
  publish();
}

void FakeVirtualDisplays::apply(const std::map<uint32_t, CaptureRect>& frames,
                                const std::map<uint32_t, uint32_t>& mirrors,
                                std::optional<uint32_t> newMain) {
  for (Display& display : displays_) {
    if (auto it = frames.find(display.id); it != frames.end()) display.frame = it->second;
    if (auto it = mirrors.find(display.id); it != mirrors.end()) display.mirrorOf = it->second;
  }
  if (newMain) main_ = *newMain;
  publish();
}

void FakeVirtualDisplays::publish() {
  std::vector<CaptureDisplay> shown;
  for (const Display& display : displays_) {
    if (hidden_.count(display.id) || (neverShareable && display.id >= 100)) continue;
    shown.push_back(CaptureDisplay{display.id, display.frame, 1.0, display.id == main_});
  }
  capture_->setDisplays(shown);
}

}  // namespace ferrowin::platform
