#pragma once
// The control routes' view of the helper manager. The routes ask `isRunning()`, which the
// manager's published `isRunning` cannot also be, so this adapter stands between them. The owner
// (HostServices) keeps it alive and hands the control server a weak reference to it.

#include <memory>

#include "server/control/collaborators.h"
#include "server/inputhelper/input_helper_process.h"

namespace ferrowin::inputhelper {

class InputHelperControlAccess final : public control::ControlInputHelperAccess {
 public:
  explicit InputHelperControlAccess(std::weak_ptr<InputHelperProcess> manager)
      : manager_(std::move(manager)) {}

  bool isRunning() const override;
  std::string activeProfileName() const override;
  void setRemapLook(const control::FerrowinRemapLookSettings& settings) override;
  asio::awaitable<void> releaseGamepad() override;

 private:
  std::weak_ptr<InputHelperProcess> manager_;
};

}  // namespace ferrowin::inputhelper
