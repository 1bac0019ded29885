#include "server/app/onboarding.h"

#include <asio/post.hpp>

namespace ferrowin::app {

std::shared_ptr<OnboardingPresenter> OnboardingPresenter::create(
    asio::io_context& main, std::shared_ptr<HostPermissionMonitor> permissions) {
  auto presenter =
      std::shared_ptr<OnboardingPresenter>(new OnboardingPresenter(main, std::move(permissions)));
  // A permission lost after setup clears the mark: the window comes back. Posted, because the
  // mark changes in the middle of a refresh.
  presenter->completedObservation_ = presenter->permissions_->completed.observe(
      [weak = std::weak_ptr(presenter), &main](bool completed) {
        if (completed) return;
        asio::post(main, [weak] {
          if (auto self = weak.lock()) self->presentIfNeeded();
        });
      });
  return presenter;
}

OnboardingPresenter::OnboardingPresenter(asio::io_context& main,
                                         std::shared_ptr<HostPermissionMonitor> permissions)
    : main_(main), permissions_(std::move(permissions)) {}

void OnboardingPresenter::refreshAndProbe() {
  permissions_->refresh();
  if (!permissions_->completed.get()) permissions_->networkProbe().start();
}

void OnboardingPresenter::presentIfNeeded() {
  if (!window_) return;
  refreshAndProbe();
  if (!permissions_->setupIncomplete()) return;
  if (onHoldHost) onHoldHost();
  if (windowVisible_) return;
  refreshAndProbe();
  show();
}

void OnboardingPresenter::finishSetup() {
  if (!window_) return;
  if (onHoldHost) onHoldHost();
  refreshAndProbe();
  show();
}

void OnboardingPresenter::getStarted() {
  if (!permissions_->state().canFinish()) return;
  permissions_->markCompleted(true);
  finish();
}

void OnboardingPresenter::windowWillClose() { permissions_->stopCheapRefresh(); }

void OnboardingPresenter::show() {
  windowVisible_ = true;
  permissions_->startCheapRefresh();
  window_->show();
}

void OnboardingPresenter::finish() {
  permissions_->stopCheapRefresh();
  windowVisible_ = false;
  if (window_) window_->hide();
  if (onResumeHost) onResumeHost();
}

}  // namespace ferrowin::app
