#include "platform/virtual_display.h"

#include <cmath>

namespace ferrowin::platform {

namespace {

class UnavailableVirtualDisplays final : public VirtualDisplayBackend {
 public:
  UnavailableVirtualDisplays(std::shared_ptr<CaptureBackend> capture, std::string reason)
      : capture_(std::move(capture)), reason_(std::move(reason)) {}

  std::optional<std::string> missingReason() override { return reason_; }
  Expected<std::unique_ptr<VirtualMonitor>, std::string> createMonitor(
      const VirtualMonitorDescriptor&) override {
    return unexpected(reason_);
  }
  std::vector<LiveDisplay> liveDisplays() override {
    std::vector<LiveDisplay> out;
    auto content = capture_->shareableContent(true);
    if (!content) return out;
    for (const CaptureDisplay& display : content->displays) {
      LiveDisplay live;
      live.id = display.id;
      live.pointWidth = int(std::lround(display.frame.width));
      live.pointHeight = int(std::lround(display.frame.height));
      live.pixelWidth = int(std::lround(display.frame.width * display.pointPixelScale));
      live.pixelHeight = int(std::lround(display.frame.height * display.pointPixelScale));
      live.isMain = display.isMain;
      out.push_back(live);
    }
    return out;
  }
  uint32_t mainDisplayId() override { return capture_->mainDisplayId(); }
  std::optional<CaptureRect> displayBounds(uint32_t displayId) override {
    return capture_->displayBounds(displayId);
  }
  Expected<std::unique_ptr<DisplayConfiguration>, int> beginConfiguration() override {
    return unexpected(1);
  }

 private:
  std::shared_ptr<CaptureBackend> capture_;
  std::string reason_;
};

}  // namespace

std::shared_ptr<VirtualDisplayBackend> unavailableVirtualDisplays(
    std::shared_ptr<CaptureBackend> capture, std::string reason) {
  return std::make_shared<UnavailableVirtualDisplays>(std::move(capture), std::move(reason));
}

}  // namespace ferrowin::platform
