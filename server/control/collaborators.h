#pragma once
// What the control routes need from the services beside them. The video server and the input
// helper manager implement these; the control server holds them weakly, and a route whose
// collaborator is gone answers as if it never existed. Every call is made on the main executor.

#include <asio/awaitable.hpp>
#include <cstdint>
#include <string>
#include <vector>

#include "common/util/expected.h"
#include "server/control/messages.h"

namespace ferrowin::control {

struct CaptureRouteError {
  bool notFound = false;    // the capture source does not exist
  std::string description;  // for every other failure
};

class ControlVideoAccess {
 public:
  virtual ~ControlVideoAccess() = default;
  /// "tcp", "udp_arq" or "udp_fec".
  virtual std::string transportModeName() const = 0;
  virtual bool isRunning() const = 0;
  /// Removes the virtual display, if there is one.
  virtual void releaseVirtualDisplay() = 0;
  /// Lists displays and windows, selecting the first when the selection is not among them.
  virtual asio::awaitable<Expected<FerrowinCaptureSourcesResponse, CaptureRouteError>>
  captureSources() = 0;
  /// JPEG bytes.
  virtual asio::awaitable<Expected<std::vector<uint8_t>, CaptureRouteError>> thumbnail(
      std::string id) = 0;
  virtual asio::awaitable<Expected<FerrowinCaptureSourceResponse, CaptureRouteError>>
  selectCaptureSource(std::string id) = 0;
};

class ControlInputHelperAccess {
 public:
  virtual ~ControlInputHelperAccess() = default;
  virtual bool isRunning() const = 0;
  /// "generic", "xbox", or empty when no profile is active.
  virtual std::string activeProfileName() const = 0;
  virtual void setRemapLook(const FerrowinRemapLookSettings& settings) = 0;
  virtual asio::awaitable<void> releaseGamepad() = 0;
};

}  // namespace ferrowin::control
