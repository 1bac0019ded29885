#include "server/inputhelper/control_access.h"

namespace ferrowin::inputhelper {

bool InputHelperControlAccess::isRunning() const {
  auto manager = manager_.lock();
  return manager && manager->isRunning.get();
}

std::string InputHelperControlAccess::activeProfileName() const {
  auto manager = manager_.lock();
  auto profile = manager ? manager->activeProfile.get() : std::nullopt;
  return profile ? std::string(common::deviceProfileText(*profile)) : std::string();
}

void InputHelperControlAccess::setRemapLook(const control::FerrowinRemapLookSettings& settings) {
  if (auto manager = manager_.lock()) manager->setRemapLook(settings);
}

asio::awaitable<void> InputHelperControlAccess::releaseGamepad() {
  if (auto manager = manager_.lock()) co_await manager->releaseGamepad();
}

}  // namespace ferrowin::inputhelper
