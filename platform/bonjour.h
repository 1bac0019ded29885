#pragma once
// Service advertisement on the local network (Bonjour/DNS-SD). On Linux: the Avahi daemon through
// its client library. While the daemon is not running (or restarting) nothing is advertised; the
// registration waits for it and advertises again by itself once it is back.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace ferrowin::platform {

struct BonjourEvent {
  enum class Kind {
    added,        // the service is advertised
    removed,      // it is not advertised any more (for now: it may be added again)
    unavailable,  // the daemon cannot be reached; advertising resumes when it is back
    failed,       // advertising is impossible; no further events come
  };
  Kind kind = Kind::added;
  std::string errorDescription;  // for `unavailable` and `failed`
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
