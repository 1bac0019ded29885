#pragma once
// A scripted Bonjour: records every advertisement and lets a test deliver registration events.

#include <mutex>
#include <optional>
#include <vector>

#include "platform/bonjour.h"

namespace ferrowin::platform {

class FakeBonjour final : public Bonjour {
 public:
  struct Advertisement {
    std::string type;
    uint16_t port = 0;
  };

  /// When set, every new advertisement gets this event at once (inside advertise()).
  std::optional<BonjourEvent> immediateEvent;

  std::unique_ptr<BonjourRegistration> advertise(
      const std::string& type, uint16_t port, std::function<void(BonjourEvent)> onEvent) override;

  std::vector<Advertisement> advertisements() const;
  /// Registrations not yet withdrawn.
  size_t liveRegistrations() const;
  /// Delivers `event` to the newest live registration; false if there is none.
  bool deliver(const BonjourEvent& event);

 private:
  class Registration;
  mutable std::mutex mutex_;
  std::vector<Advertisement> advertisements_;
  std::vector<Registration*> live_;
};

}  // namespace ferrowin::platform
