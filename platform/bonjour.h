#pragma once
// Service advertisement on the local network (Bonjour/DNS-SD). On Linux: the Avahi daemon through
// its client library; with no daemon running the service is simply not advertised (the
// registration reports a failure).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ferrowin::platform {

struct BonjourEvent {
  enum class Kind { added, removed, failed };
  Kind kind = Kind::added;
  std::string errorDescription;  // for `failed`
};

/// A live advertisement; destroying it withdraws the service. No event is delivered once the
/// destructor has returned.
class BonjourRegistration {
 public:
  virtual ~BonjourRegistration() = default;
};

class Bonjour {
 public:
  virtual ~Bonjour() = default;
  /// Advertises `type` (for example "_ferrowin._tcp") on `port` under the computer's name, with no
  /// TXT record. `onEvent` may run on any thread, including inside this call.
  virtual std::unique_ptr<BonjourRegistration> advertise(
      const std::string& type, uint16_t port, std::function<void(BonjourEvent)> onEvent) = 0;
};

std::shared_ptr<Bonjour> makeAvahiBonjour();

}  // namespace ferrowin::platform
