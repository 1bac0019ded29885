#pragma once
// FerrowinVirtualGamepad: the client's gamepad as a virtual HID device, in the generic or the
// Xbox Wireless Controller profile.
//
// Threads: create/activate/cancel run on the main executor; send() on the gamepad applier's
// executor (one at a time); the GET_REPORT/SET_REPORT handlers and the rumble callback on the
// device's own thread ("com.zavel.ferrowin.virtual-hid." + profile).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/device_profile.h"
#include "common/util/expected.h"
#include "inputhelper/gamepad_reports.h"
#include "inputhelper/packets.h"
#include "platform/virtual_hid.h"

namespace ferrowin::inputhelper {

struct VirtualHIDDeviceError {
  enum class Kind {
    handleReportFailed,
    deviceCreationFailed,
    invalidOutputReport,
    unsupportedGetReport
  };
  Kind kind = Kind::deviceCreationFailed;
  int32_t code = 0;    // handleReportFailed: the platform's return code
  std::string reason;  // deviceCreationFailed: what the OS said

  static VirtualHIDDeviceError handleReportFailed(int32_t code) {
    return {Kind::handleReportFailed, code, {}};
  }
  static VirtualHIDDeviceError deviceCreationFailed(std::string reason) {
    return {Kind::deviceCreationFailed, 0, std::move(reason)};
  }
  std::string description() const;
};

/// Whether the Xbox device also speaks GIP (reports 32 and 7 out, report 9 in). Process-wide;
/// the UDP server sets it from the Steam-support switch.
class XboxUSBReports {
 public:
  static XboxUSBReports& shared();
  bool enabled() const;
  void setEnabled(bool enabled);

 private:
  mutable std::mutex lock_;
  bool enabled_ = true;
};

class FerrowinVirtualGamepad : public std::enable_shared_from_this<FerrowinVirtualGamepad> {
 public:
  /// strong, weak, left trigger, right trigger (0..255), duration in milliseconds.
  using RumbleCallback = std::function<void(uint8_t, uint8_t, uint8_t, uint8_t, uint16_t)>;

  /// Creates the device; the OS sees it from now on.
  static Expected<std::shared_ptr<FerrowinVirtualGamepad>, VirtualHIDDeviceError> create(
      common::DeviceProfile profile, platform::VirtualHIDBackend& backend);
  ~FerrowinVirtualGamepad();
  FerrowinVirtualGamepad(const FerrowinVirtualGamepad&) = delete;
  FerrowinVirtualGamepad& operator=(const FerrowinVirtualGamepad&) = delete;

  void activate();
  /// Translates and submits `report`; with a guide state (Xbox) the guide button goes out as its
  /// own reports on change. Fails when the platform rejects the main report.
  Expected<void, VirtualHIDDeviceError> send(const VirtualGamepadInputReport& report,
                                             XboxGuideState* guideState = nullptr);
  /// Report 4, sent once after creation of the Xbox device.
  Expected<void, VirtualHIDDeviceError> sendBatteryStrength(uint8_t strength);
  /// When Steam support goes off: a neutral GIP frame and a released guide frame, so software
  /// reading GIP does not keep the last state.
  void sendUSBNeutralAndGuideReleased();
  /// Destroys the device and returns once its handlers can no longer run.
  void cancel();
  void setOnRumble(RumbleCallback onRumble);

  common::DeviceProfile profile() const { return profile_; }
  bool isActivated() const { return isActivated_; }

 private:
  struct GenericInputCache {
    GenericInputCache() : report(genericInputReport(VirtualGamepadInputReport{})) {}
    std::mutex lock;
    std::array<uint8_t, 9> report;
  };

  explicit FerrowinVirtualGamepad(common::DeviceProfile profile);
  Expected<std::vector<uint8_t>, int> handleGetReport(platform::HIDReportType type,
                                                      uint8_t reportId);
  int handleSetReport(platform::HIDReportType type, uint8_t reportId,
                      std::span<const uint8_t> bytes);
  Expected<void, platform::VirtualHIDError> submit(std::span<const uint8_t> report);

  const common::DeviceProfile profile_;
  const std::string profileLabel_;
  std::optional<GenericInputCache> genericInputCache_;
  std::unique_ptr<platform::VirtualHIDDevice> device_;
  std::optional<std::vector<uint8_t>> lastOutputReport_;  // device thread only
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> isActivated_{false};
  std::mutex rumbleLock_;
  RumbleCallback onRumble_;
};

}  // namespace ferrowin::inputhelper
