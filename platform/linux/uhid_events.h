#pragma once
// The /dev/uhid wire protocol as values: what the kernel sends us (decoded from untrusted bytes)
// and what we send it. Every event on the wire is one whole `struct uhid_event`; this header keeps
// that struct out of view so tests and fuzzers can use the codec.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/util/expected.h"
#include "platform/virtual_hid.h"

namespace ferrowin::platform::uhid {

/// Size of one `struct uhid_event`, the unit of every read and write.
extern const size_t kEventSize;

enum class KernelEventType { start, stop, open, close, output, getReport, setReport };

struct KernelEvent {
  KernelEventType type = KernelEventType::start;
  uint32_t requestId = 0;  // GET_REPORT / SET_REPORT: echoed in the reply
  uint8_t reportNumber = 0;
  HIDReportType reportType = HIDReportType::output;
  std::vector<uint8_t> data;  // OUTPUT / SET_REPORT payload
};

struct DecodeError {
  std::string message;
  /// Set when the bytes were a GET_REPORT or SET_REPORT whose request id could be read: the
  /// kernel waits for an answer to it even though the rest was malformed.
  std::optional<KernelEventType> unansweredRequest;
  uint32_t requestId = 0;
  const std::string& description() const { return message; }
};

/// Decodes one event read from the device. Unknown types, truncated events, sizes beyond the
/// protocol's maximum and unknown report types are errors.
[[nodiscard]] Expected<KernelEvent, DecodeError> decodeKernelEvent(std::span<const uint8_t> bytes);

/// UHID_CREATE2. Fails when the descriptor does not fit the protocol (4096 bytes); name and uniq
/// are cut to the protocol's field sizes.
[[nodiscard]] Expected<std::vector<uint8_t>, VirtualHIDError> encodeCreate2(
    const VirtualHIDProperties& properties);
/// UHID_INPUT2; an oversized report is an error.
[[nodiscard]] Expected<std::vector<uint8_t>, VirtualHIDError> encodeInput2(
    std::span<const uint8_t> report);
std::vector<uint8_t> encodeDestroy();
/// `error` is an errno value (0 = success); data beyond the protocol maximum is cut.
std::vector<uint8_t> encodeGetReportReply(uint32_t requestId, int error,
                                          std::span<const uint8_t> data);
std::vector<uint8_t> encodeSetReportReply(uint32_t requestId, int error);

}  // namespace ferrowin::platform::uhid
