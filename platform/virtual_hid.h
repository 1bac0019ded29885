#pragma once
// Virtual HID devices (the helper's gamepad and relative mouse). On Linux: /dev/uhid, or — when
// FERROWIN_UHID_SOCKET names a UNIX socket — a SOCK_SEQPACKET connection to that path speaking the
// same protocol (one struct uhid_event per packet), which is how tests play the kernel.
//
// Contract: create() returns a device that already exists for the OS (UHID_CREATE2 sent). The
// handlers run on the device's own thread (named after `queueLabel`); sendInputReport() may be
// called from any thread; cancel() destroys the device (UHID_DESTROY, close) and returns once no
// handler can run any more. Destroying the device object cancels it.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/util/expected.h"

namespace ferrowin::platform {

/// The device's identity, as the property table of the virtual device gives it.
struct VirtualHIDProperties {
  std::vector<uint8_t> reportDescriptor;
  std::string transport;  // "USB" (BUS_USB) or "Bluetooth" (BUS_BLUETOOTH)
  uint32_t vendorId = 0;
  uint32_t productId = 0;
  uint32_t versionNumber = 0;
  uint32_t countryCode = 0;
  std::string product;       // UHID name
  std::string serialNumber;  // UHID uniq
  uint32_t locationId = 0;   // no UHID counterpart; kept for logs
};

enum class HIDReportType : uint8_t { input = 0, output = 1, feature = 2 };

struct VirtualHIDHandlers {
  /// GET_REPORT: the report bytes, or an errno-style error code (non-zero) to answer with.
  std::function<Expected<std::vector<uint8_t>, int>(HIDReportType, uint8_t reportId)> getReport;
  /// SET_REPORT: 0 for success, else an errno-style code.
  std::function<int(HIDReportType, uint8_t reportId, std::span<const uint8_t> data)> setReport;
  /// OUTPUT reports written by the host side (e.g. rumble), report id first when the descriptor
  /// uses ids.
  std::function<void(HIDReportType, std::span<const uint8_t> data)> output;
  /// Runs once on the device's thread when cancel() has been asked, after every other handler.
  std::function<void()> cancelled;
};

struct VirtualHIDError {
  std::string message;
  int code = 0;  // errno of the failed system call, when there was one
  const std::string& description() const { return message; }
};

class VirtualHIDDevice {
 public:
  virtual ~VirtualHIDDevice() = default;
  virtual Expected<void, VirtualHIDError> sendInputReport(std::span<const uint8_t> report) = 0;
  virtual void cancel() = 0;
};

class VirtualHIDBackend {
 public:
  virtual ~VirtualHIDBackend() = default;
  /// Whether devices can be created at all (the preflight's virtualHIDAvailable).
  virtual bool available() = 0;
  virtual Expected<std::unique_ptr<VirtualHIDDevice>, VirtualHIDError> create(
      const VirtualHIDProperties& properties, VirtualHIDHandlers handlers,
      const std::string& queueLabel) = 0;
};

/// The UHID backend (honours FERROWIN_UHID_SOCKET).
std::unique_ptr<VirtualHIDBackend> makeUhidBackend();

}  // namespace ferrowin::platform
