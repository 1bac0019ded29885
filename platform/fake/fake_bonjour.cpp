#include "platform/fake/fake_bonjour.h"

#include <algorithm>

namespace ferrowin::platform {

class FakeBonjour::Registration final : public BonjourRegistration {
 public:
  Registration(FakeBonjour& owner, std::function<void(BonjourEvent)> callback)
      : owner_(owner), onEvent(std::move(callback)) {}
  ~Registration() override {
    std::lock_guard lock(owner_.mutex_);
    std::erase(owner_.live_, this);
  }
  FakeBonjour& owner_;
  std::function<void(BonjourEvent)> onEvent;
};

std::unique_ptr<BonjourRegistration> FakeBonjour::advertise(
    const std::string& type, uint16_t port, std::function<void(BonjourEvent)> onEvent) {
  auto registration = std::make_unique<Registration>(*this, std::move(onEvent));
  {
    std::lock_guard lock(mutex_);
    advertisements_.push_back({type, port});
    live_.push_back(registration.get());
  }
  if (immediateEvent) registration->onEvent(*immediateEvent);
  return registration;
}

std::vector<FakeBonjour::Advertisement> FakeBonjour::advertisements() const {
  std::lock_guard lock(mutex_);
  return advertisements_;
}

size_t FakeBonjour::liveRegistrations() const {
  std::lock_guard lock(mutex_);
  return live_.size();
}

bool FakeBonjour::deliver(const BonjourEvent& event) {
  std::function<void(BonjourEvent)> callback;
  {
    std::lock_guard lock(mutex_);
    if (live_.empty()) return false;
    callback = live_.back()->onEvent;
  }
  callback(event);
  return true;
}

}  // namespace ferrowin::platform
