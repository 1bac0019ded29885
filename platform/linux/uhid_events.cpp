#include "platform/linux/uhid_events.h"

#include <linux/input.h>
#include <linux/uhid.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace ferrowin::platform::uhid {

const size_t kEventSize = sizeof(struct uhid_event);

namespace {

// Offset of a union member's field from the start of the event.
constexpr size_t kPayload = offsetof(struct uhid_event, u);

std::optional<HIDReportType> reportTypeFrom(uint8_t rtype) {
  switch (rtype) {
    case UHID_FEATURE_REPORT:
      return HIDReportType::feature;
    case UHID_OUTPUT_REPORT:
      return HIDReportType::output;
    case UHID_INPUT_REPORT:
      return HIDReportType::input;
    default:
      return std::nullopt;
  }
}

// The event, zero-padded to the full struct so fields can be read by name once the length check
// for the fields actually used has passed.
struct uhid_event padded(std::span<const uint8_t> bytes) {
  struct uhid_event event;
  std::memset(&event, 0, sizeof event);
  std::memcpy(&event, bytes.data(), std::min(bytes.size(), sizeof event));
  return event;
}

std::vector<uint8_t> bytesOf(const struct uhid_event& event) {
  const auto* begin = reinterpret_cast<const uint8_t*>(&event);
  return {begin, begin + sizeof event};
}

struct uhid_event blank(uint32_t type) {
  struct uhid_event event;
  std::memset(&event, 0, sizeof event);
  event.type = type;
  return event;
}

void copyText(uint8_t* field, size_t fieldSize, const std::string& text) {
  std::memcpy(field, text.data(), std::min(text.size(), fieldSize - 1));  // stays NUL-terminated
}

DecodeError error(std::string message) { return DecodeError{std::move(message), std::nullopt, 0}; }

}  // namespace

Expected<KernelEvent, DecodeError> decodeKernelEvent(std::span<const uint8_t> bytes) {
  if (bytes.size() < sizeof(uint32_t)) return make_unexpected(error("uhid event too short"));
  const struct uhid_event event = padded(bytes);
  KernelEvent out;
  switch (event.type) {
    case UHID_START:
      out.type = KernelEventType::start;
      return out;
    case UHID_STOP:
      out.type = KernelEventType::stop;
      return out;
    case UHID_OPEN:
      out.type = KernelEventType::open;
      return out;
    case UHID_CLOSE:
      out.type = KernelEventType::close;
      return out;
    case UHID_OUTPUT: {
      if (bytes.size() < kPayload + sizeof(struct uhid_output_req)) {
        return make_unexpected(error("truncated UHID_OUTPUT"));
      }
      const auto& req = event.u.output;
      if (req.size > UHID_DATA_MAX) return make_unexpected(error("UHID_OUTPUT size out of range"));
      auto type = reportTypeFrom(req.rtype);
      if (!type) return make_unexpected(error("UHID_OUTPUT with unknown report type"));
      out.type = KernelEventType::output;
      out.reportType = *type;
      out.data.assign(req.data, req.data + req.size);
      out.reportNumber = out.data.empty() ? 0 : out.data[0];
      return out;
    }
    case UHID_GET_REPORT: {
      if (bytes.size() < kPayload + sizeof(struct uhid_get_report_req)) {
        return make_unexpected(error("truncated UHID_GET_REPORT"));
      }
      const auto& req = event.u.get_report;
      auto type = reportTypeFrom(req.rtype);
      if (!type) {
        return make_unexpected(DecodeError{"UHID_GET_REPORT with unknown report type",
                                           KernelEventType::getReport, req.id});
      }
      out.type = KernelEventType::getReport;
      out.requestId = req.id;
      out.reportNumber = req.rnum;
      out.reportType = *type;
      return out;
    }
    case UHID_SET_REPORT: {
      constexpr size_t kHeader = kPayload + offsetof(struct uhid_set_report_req, data);
      if (bytes.size() < kHeader) return make_unexpected(error("truncated UHID_SET_REPORT"));
      const auto& req = event.u.set_report;
      auto type = reportTypeFrom(req.rtype);
      if (!type || req.size > UHID_DATA_MAX || bytes.size() < kHeader + req.size) {
        return make_unexpected(
            DecodeError{"malformed UHID_SET_REPORT", KernelEventType::setReport, req.id});
      }
      out.type = KernelEventType::setReport;
      out.requestId = req.id;
      out.reportNumber = req.rnum;
      out.reportType = *type;
      out.data.assign(req.data, req.data + req.size);
      return out;
    }
    default:
      return make_unexpected(error("unknown uhid event type " + std::to_string(event.type)));
  }
}

Expected<std::vector<uint8_t>, VirtualHIDError> encodeCreate2(
    const VirtualHIDProperties& properties) {
  struct uhid_event event = blank(UHID_CREATE2);
  auto& req = event.u.create2;
  if (properties.reportDescriptor.size() > sizeof req.rd_data) {
    return make_unexpected(VirtualHIDError{"report descriptor too large for uhid", EINVAL});
  }
  copyText(req.name, sizeof req.name, properties.product);
  copyText(req.uniq, sizeof req.uniq, properties.serialNumber);
  req.rd_size = static_cast<uint16_t>(properties.reportDescriptor.size());
  req.bus = properties.transport == "Bluetooth" ? BUS_BLUETOOTH
            : properties.transport == "USB"     ? BUS_USB
                                                : BUS_VIRTUAL;
  req.vendor = properties.vendorId;
  req.product = properties.productId;
  req.version = properties.versionNumber;
  req.country = properties.countryCode;
  std::copy(properties.reportDescriptor.begin(), properties.reportDescriptor.end(), req.rd_data);
  return bytesOf(event);
}

Expected<std::vector<uint8_t>, VirtualHIDError> encodeInput2(std::span<const uint8_t> report) {
  struct uhid_event event = blank(UHID_INPUT2);
  if (report.size() > sizeof event.u.input2.data) {
    return make_unexpected(VirtualHIDError{"input report too large for uhid", EINVAL});
  }
  event.u.input2.size = static_cast<uint16_t>(report.size());
  std::copy(report.begin(), report.end(), event.u.input2.data);
  return bytesOf(event);
}

std::vector<uint8_t> encodeDestroy() { return bytesOf(blank(UHID_DESTROY)); }

std::vector<uint8_t> encodeGetReportReply(uint32_t requestId, int error,
                                          std::span<const uint8_t> data) {
  struct uhid_event event = blank(UHID_GET_REPORT_REPLY);
  auto& reply = event.u.get_report_reply;
  reply.id = requestId;
  reply.err = static_cast<uint16_t>(error);
  if (error == 0) {
    reply.size = static_cast<uint16_t>(std::min(data.size(), sizeof reply.data));
    std::copy_n(data.begin(), reply.size, reply.data);
  }
  return bytesOf(event);
}

std::vector<uint8_t> encodeSetReportReply(uint32_t requestId, int error) {
  struct uhid_event event = blank(UHID_SET_REPORT_REPLY);
  event.u.set_report_reply.id = requestId;
  event.u.set_report_reply.err = static_cast<uint16_t>(error);
  return bytesOf(event);
}

}  // namespace ferrowin::platform::uhid
