#pragma once
// Screen capture through the desktop portal for the life of the host: one capture backend that
// streams from the newest grant, and whether that grant is held and works, which setup's Screen
// Recording row shows. The restore token is kept in the host's settings. A grant the desktop
// refuses or revokes — Start answered 1 or 2 (for the kept token), the session closed, the cast's
// node gone — forgets the token, so that the next request asks the user again; a portal that cannot
// be reached leaves it.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/util/settings.h"
#include "platform/capture.h"
#include "platform/linux/screencast_portal.h"
#include "platform/setup_checks.h"

namespace ferrowin::platform {

class PortalCapture final : public ScreenCaptureGrant {
 public:
  struct Options {
    std::string busAddress;  // empty: the session bus
    common::SettingsStore* settings = nullptr;
    std::string tokenKey;  // where `settings` keeps the restore token
    std::chrono::seconds timeout{120};
  };

  explicit PortalCapture(Options options);
  /// Gives up a request still waiting for the portal, and waits for it.
  ~PortalCapture() override;
  PortalCapture(const PortalCapture&) = delete;
  PortalCapture& operator=(const PortalCapture&) = delete;

  /// Asks the portal with the kept token and keeps the new one; blocks while the desktop asks the
  /// user. On a grant the backend streams from it (the display change handler hears of it) and
  /// the answer is the number of monitors; otherwise the backend has nothing to stream.
  [[nodiscard]] Expected<size_t, ScreenCastError> ask();
  /// The same backend across grants; "unavailable" while no grant is held.
  std::shared_ptr<CaptureBackend> backend() const;

  bool granted() const override;
  /// ask() on a thread of its own; nothing while a request runs.
  void requestAgain() override;
  /// `handler` runs on the thread that saw the change: the asking one, or the grant's own.
  void setChangeHandler(std::function<void()> handler) override;

  struct State;
  class Backend;

 private:
  Options options_;
  std::shared_ptr<State> state_;
  std::shared_ptr<Backend> backend_;
  std::mutex askMutex_;  // one conversation at a time
  std::atomic<bool> stopping_{false};
  std::mutex askerMutex_;
  std::thread asker_;
  std::atomic<bool> asking_{false};
};

}  // namespace ferrowin::platform
