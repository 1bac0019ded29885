#pragma once
// A scripted display server for tests of virtual displays: it keeps displays with frames, makes
// virtual monitors, runs arrangement transactions, and shows every display through a synthetic
// capture backend, so a real streamer captures what it arranges. Knobs make each step fail; the
// journal records what was asked, in order. Main executor only (like the real backend).

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/synthetic/synthetic_capture.h"
#include "platform/virtual_display.h"

namespace ferrowin::platform {

class FakeVirtualDisplays final : public VirtualDisplayBackend,
                                  public std::enable_shared_from_this<FakeVirtualDisplays> {
 public:
  struct Display {
    uint32_t id = 0;
    CaptureRect frame;
    bool isBuiltin = false;
    uint32_t mirrorOf = 0;
  };

  /// The first display is the main one.
  FakeVirtualDisplays(std::shared_ptr<SyntheticCaptureBackend> capture,
                      std::vector<Display> displays);

  // Knobs.
  std::optional<std::string> missing;
  std::set<uint32_t> failingSerials;       // these creation attempts fail
  bool neverOnline = false;                // monitors are made but never listed
  bool neverShareable = false;             // monitors are listed but not shown to capture
  std::map<uint32_t, int> originFailures;  // display id → configureOrigin code
  int completeFailure = 0;

  /// "create <serial>", "remove <id>", "origin <id> <x>,<y>", "mirror <id> <master>",
  /// "complete", "cancel".
  std::vector<std::string> journal;
  std::vector<Display> displays() const { return displays_; }
  uint32_t mainId() const { return main_; }
  /// The descriptor of the last creation attempt.
  VirtualMonitorDescriptor lastDescriptor;

  std::optional<std::string> missingReason() override { return missing; }
  Expected<std::unique_ptr<VirtualMonitor>, std::string> createMonitor(
      const VirtualMonitorDescriptor& descriptor) override;
  std::vector<LiveDisplay> liveDisplays() override;
  uint32_t mainDisplayId() override { return main_; }
  std::optional<CaptureRect> displayBounds(uint32_t displayId) override;
  Expected<std::unique_ptr<DisplayConfiguration>, int> beginConfiguration() override;

  // Used by the monitors and transactions.
  void remove(uint32_t id);
  void apply(const std::map<uint32_t, CaptureRect>& frames,
             const std::map<uint32_t, uint32_t>& mirrors, std::optional<uint32_t> newMain);

 private:
  void publish();

  std::shared_ptr<SyntheticCaptureBackend> capture_;
  std::vector<Display> displays_;
  std::set<uint32_t> hidden_;  // not listed (never online)
  uint32_t main_ = 0;
  uint32_t nextId_ = 100;
};

}  // namespace ferrowin::platform
