#pragma once
// Plays the kernel side of /dev/uhid for tests. It listens on a SOCK_SEQPACKET UNIX socket; point
// FERROWIN_UHID_SOCKET at path() and every virtual device the code under test creates connects
// here. Each connection is one device, numbered from 0 in connection order. The fixture records
// what the device sends (UHID_CREATE2, UHID_INPUT2, UHID_DESTROY, the replies) and can send what
// the kernel sends (UHID_START, UHID_OPEN, UHID_OUTPUT, UHID_GET_REPORT, UHID_SET_REPORT).
//
// It decodes and encodes events by the kernel ABI's byte offsets, independently of the code under
// test, so a layout fault on either side shows.

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace ferrowin::testing {

class FakeUhidKernel {
 public:
  static constexpr size_t kEventSize = 4380;  // sizeof(struct uhid_event)
  // uhid_report_type values.
  static constexpr uint8_t kFeatureReport = 0;
  static constexpr uint8_t kOutputReport = 1;
  static constexpr uint8_t kInputReport = 2;
  static constexpr double kWait = 5.0;

  struct Created {
    std::string name;
    std::string phys;
    std::string uniq;
    uint16_t bus = 0;
    uint32_t vendor = 0;
    uint32_t product = 0;
    uint32_t version = 0;
    uint32_t country = 0;
    std::vector<uint8_t> descriptor;
  };
  struct GetReportReply {
    uint16_t error = 0;
    std::vector<uint8_t> data;
  };

  FakeUhidKernel();
  ~FakeUhidKernel();
  FakeUhidKernel(const FakeUhidKernel&) = delete;
  FakeUhidKernel& operator=(const FakeUhidKernel&) = delete;

  const std::string& path() const { return path_; }
  size_t deviceCount() const;

  /// The UHID_CREATE2 of device `device`, once it has arrived.
  std::optional<Created> waitForCreate(size_t device, double seconds = kWait) const;
  /// The device's UHID_INPUT2 reports so far, after waiting until there are at least `count`.
  std::vector<std::vector<uint8_t>> waitForInputs(size_t device, size_t count,
                                                  double seconds = kWait) const;
  std::vector<std::vector<uint8_t>> inputs(size_t device) const;
  bool waitForDestroy(size_t device, double seconds = kWait) const;
  /// Whether the device closed its end (after a destroy, or without one).
  bool waitForClose(size_t device, double seconds = kWait) const;

  void sendStart(size_t device);
  void sendOpen(size_t device);
  void sendOutput(size_t device, uint8_t reportType, const std::vector<uint8_t>& data);
  /// Returns the request id to wait for the reply with.
  uint32_t sendGetReport(size_t device, uint8_t reportNumber, uint8_t reportType);
  uint32_t sendSetReport(size_t device, uint8_t reportNumber, uint8_t reportType,
                         const std::vector<uint8_t>& data);
  /// Sends arbitrary bytes as one packet (malformed events).
  void sendRaw(size_t device, const std::vector<uint8_t>& bytes);

  std::optional<GetReportReply> waitForGetReportReply(size_t device, uint32_t requestId,
                                                      double seconds = kWait) const;
  /// The errno answered to a SET_REPORT.
  std::optional<uint16_t> waitForSetReportReply(size_t device, uint32_t requestId,
                                                double seconds = kWait) const;

 private:
  struct Device;
  void acceptLoop();
  void readLoop(Device& device);
  void record(Device& device, const std::vector<uint8_t>& event);
  Device& deviceAt(size_t device) const;
  void send(size_t device, const std::vector<uint8_t>& event);
  template <class Predicate>
  bool waitUntil(double seconds, Predicate predicate) const;

  TempDir dir_;
  std::string path_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::unique_ptr<Device>> devices_;
  uint32_t nextRequestId_ = 1;
  bool stopping_ = false;
  std::thread acceptThread_;
};

}  // namespace ferrowin::testing
