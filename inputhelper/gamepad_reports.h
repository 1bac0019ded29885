#pragma once
// The virtual gamepad's report bytes: translation of the client's report into the generic and
// Xbox layouts (including the GIP frames of the vendor reports) and decoding of the rumble output
// reports games send back. Pure functions; the device wraps them.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "inputhelper/packets.h"
#include "platform/virtual_hid.h"

namespace ferrowin::inputhelper {

/// Guide-button edge detection and the GIP frame counter, one per DeviceSink.
struct XboxGuideState {
  std::optional<bool> lastHomePressed;
  uint8_t gipSequence = 0;
};

/// The client's report as the generic device's 9-byte input report.
std::array<uint8_t, 9> genericInputReport(const VirtualGamepadInputReport& report);

/// 0..255 → 0..1023, rounded: floor((t·1023 + 127) / 255).
uint16_t trigger10Bit(uint8_t value);

/// Report 1 (17 bytes, id first).
std::array<uint8_t, 17> xboxMainReport(const VirtualGamepadInputReport& report);
/// Report 32: the GIP input frame (18 bytes).
std::array<uint8_t, 18> gipInputFrame(const VirtualGamepadInputReport& report, uint8_t sequence);
/// Report 2: guide (AC Home).
std::array<uint8_t, 2> xboxGuideReport(bool pressed);
/// Report 7: the GIP guide frame.
std::array<uint8_t, 5> gipGuideFrame(uint8_t sequence, bool pressed);
/// Report 4: battery strength.
std::array<uint8_t, 2> xboxBatteryReport(uint8_t strength);

/// What the UDP server forwards to the client: motor strengths 0..255 and a duration.
struct RumbleCommand {
  uint8_t strong = 0;
  uint8_t weak = 0;
  uint8_t leftTrigger = 0;
  uint8_t rightTrigger = 0;
  uint16_t durationMs = 0;
  bool operator==(const RumbleCommand&) const = default;
};

/// Answers to SET_REPORT / OUTPUT on the Xbox device, as errno-style codes for the platform.
enum class OutputReportStatus { success, unsupported, badArgument };
int errnoFor(OutputReportStatus status);

struct OutputReportResult {
  OutputReportStatus status = OutputReportStatus::unsupported;
  std::optional<RumbleCommand> rumble;
  /// The accepted report's label for the log ("0x03" or "0x09 GIP") and its bytes.
  std::string label;
  std::vector<uint8_t> bytes;
};

/// The Xbox device's SET_REPORT logic: normalises the report id, checks the rumble report's
/// shape and decodes it. Report 9 is honoured only while `usbReportsEnabled`.
OutputReportResult decodeXboxOutputReport(platform::HIDReportType type, uint8_t reportId,
                                          std::span<const uint8_t> bytes, bool usbReportsEnabled);

/// Two-digit lower-case hex joined by single spaces.
std::string hexBytes(std::span<const uint8_t> bytes);

}  // namespace ferrowin::inputhelper
