#include "platform/linux/portal_capture.h"

#include "common/util/log.h"
#include "platform/linux/pipewire_capture.h"

namespace ferrowin::platform {

namespace {

auto captureLog() { return common::serverLog("capture"); }

CaptureError noGrant() {
  return CaptureError{CaptureError::Code::unavailable,
                      "the desktop portal grants no screen capture"};
}

}  // namespace

// Shared with the grant's callbacks, which may outlive the PortalCapture; it owns no thread, so
// whichever thread lets it go last may destroy it. Each conversation starts a generation: what an
// earlier grant reports later is no news.
struct PortalCapture::State {
  common::SettingsStore* settings = nullptr;
  std::string tokenKey;

  std::mutex mutex;
  bool granted = false;
  uint64_t generation = 0;

  std::mutex handlerMutex;  // held while the handler runs, so clearing it waits for the call
  std::function<void()> handler;

  uint64_t begin() {
    std::lock_guard lock(mutex);
    granted = false;
    return ++generation;
  }

  void settle(uint64_t of, bool nowGranted) {
    {
      std::lock_guard lock(mutex);
      if (of != generation) return;
      granted = nowGranted;
    }
    notify();
  }

  void ended(uint64_t of, bool revoked, const std::string& why) {
    {
      std::lock_guard lock(mutex);
      if (of != generation || !granted) return;
      granted = false;
    }
    captureLog()->warn("The desktop portal's screen capture ended: {}{}", why,
                       revoked ? "; the next request asks again" : "");
    if (revoked) forgetToken();
    notify();
  }

  bool isGranted() {
    std::lock_guard lock(mutex);
    return granted;
  }

  void forgetToken() {
    if (auto removed = settings->remove(tokenKey); !removed) {
      captureLog()->warn("The portal's restore token could not be forgotten: {}",
                         removed.error().description());
    }
  }

  void notify() {
    std::lock_guard lock(handlerMutex);
    if (handler) handler();
  }
};

// The capture backend of the current grant, behind one object the streamer keeps.
class PortalCapture::Backend final : public CaptureBackend {
 public:
  explicit Backend(std::shared_ptr<State> state) : state_(std::move(state)) {}
  ~Backend() override { replace(nullptr); }

  // Makes `next` the current backend (none: no grant) and answers the previous one, which the
  // caller lets go outside the lock.
  std::shared_ptr<CaptureBackend> replace(std::shared_ptr<CaptureBackend> next) {
    if (next) {
      next->setDisplayChangeHandler([this] { displaysChanged(); });
    }
    std::shared_ptr<CaptureBackend> previous;
    {
      std::lock_guard lock(mutex_);
      previous = std::exchange(current_, std::move(next));
    }
    if (previous) previous->setDisplayChangeHandler({});
    return previous;
  }

  void displaysChanged() {
    std::lock_guard lock(handlerMutex_);
    if (handler_) handler_();
  }

  Expected<ShareableContent, CaptureError> shareableContent(bool onScreenWindowsOnly) override {
    auto backend = current();
    if (!backend) return unexpected(noGrant());
    return backend->shareableContent(onScreenWindowsOnly);
  }

  uint32_t mainDisplayId() override {
    auto backend = current();
    return backend ? backend->mainDisplayId() : 0;
  }

  std::optional<CaptureRect> displayBounds(uint32_t displayId) override {
    auto backend = current();
    return backend ? backend->displayBounds(displayId) : std::nullopt;
  }

  Expected<std::unique_ptr<CaptureStream>, CaptureError> createStream(
      const CaptureFilter& filter, const CaptureStreamConfiguration& configuration,
      CaptureStream::Delegate delegate) override {
    auto backend = current();
    if (!backend) return unexpected(noGrant());
    return backend->createStream(filter, configuration, std::move(delegate));
  }

  Expected<BgraFrame, CaptureError> screenshot(const CaptureFilter& filter, int width, int height,
                                               bool showsCursor) override {
    auto backend = current();
    if (!backend) return unexpected(noGrant());
    return backend->screenshot(filter, width, height, showsCursor);
  }

  void setDisplayChangeHandler(std::function<void()> handler) override {
    std::lock_guard lock(handlerMutex_);
    handler_ = std::move(handler);
  }

 private:
  // The grant's backend while the grant holds.
  std::shared_ptr<CaptureBackend> current() {
    if (!state_->isGranted()) return nullptr;
    std::lock_guard lock(mutex_);
    return current_;
  }

  std::shared_ptr<State> state_;
  std::mutex mutex_;
  std::shared_ptr<CaptureBackend> current_;
  std::mutex handlerMutex_;
  std::function<void()> handler_;
};

PortalCapture::PortalCapture(Options options)
    : options_(std::move(options)), state_(std::make_shared<State>()) {
  state_->settings = options_.settings;
  state_->tokenKey = options_.tokenKey;
  backend_ = std::make_shared<Backend>(state_);
}

PortalCapture::~PortalCapture() {
  stopping_ = true;
  std::lock_guard lock(askerMutex_);
  if (asker_.joinable()) asker_.join();
}

std::shared_ptr<CaptureBackend> PortalCapture::backend() const { return backend_; }

bool PortalCapture::granted() const { return state_->isGranted(); }

void PortalCapture::setChangeHandler(std::function<void()> handler) {
  std::lock_guard lock(state_->handlerMutex);
  state_->handler = std::move(handler);
}

void PortalCapture::requestAgain() {
  std::lock_guard lock(askerMutex_);
  if (asking_.exchange(true)) return;
  if (asker_.joinable()) asker_.join();
  asker_ = std::thread([this] {
    (void)ask();
    asking_ = false;
  });
}

Expected<size_t, ScreenCastError> PortalCapture::ask() {
  std::lock_guard lock(askMutex_);
  const uint64_t generation = state_->begin();
  const auto token = options_.settings->stringValue(options_.tokenKey);
  // The grant ending by itself (the session closed, the cast's node gone) is news only while no
  // later conversation has begun.
  const auto ended = [state = state_, generation](bool revoked, const std::string& why) {
    state->ended(generation, revoked, why);
  };
  ScreenCastRequest request{.busAddress = options_.busAddress,
                            .restoreToken = token,
                            .timeout = options_.timeout,
                            .cancelled = [this] { return stopping_.load(); },
                            .onEnded = ended};
  auto grant = requestScreenCast(request);
  std::shared_ptr<CaptureBackend> backend;
  Expected<size_t, ScreenCastError> result = unexpected(ScreenCastError{});
  if (grant) {
    const size_t monitors = grant->sources.size();
    PipeWireRemote remote = grant->remote;
    remote.onEnded = ended;
    auto made = makePipeWireCaptureBackend(std::move(grant->sources), std::move(remote));
    if (made) {
      backend = std::move(*made);
      result = monitors;
    } else {
      result =
          unexpected(ScreenCastError{ScreenCastError::Code::failed, made.error().description()});
    }
  } else {
    result = unexpected(grant.error());
  }
  // The previous grant's backend goes here, on the asking thread, not on one of its own.
  auto previous = backend_->replace(backend);
  if (!result) {
    // A refusal revokes the kept token for good: the next request asks the user.
    if (result.error().code == ScreenCastError::Code::denied && token) state_->forgetToken();
    state_->settle(generation, false);
    return result;
  }
  if (!grant->restoreToken.empty()) {
    if (auto saved = options_.settings->setString(options_.tokenKey, grant->restoreToken); !saved) {
      captureLog()->warn(
          "The portal's restore token could not be saved ({}); the next start asks "
          "again",
          saved.error().description());
    }
  }
  state_->settle(generation, true);
  backend_->displaysChanged();
  return result;
}

}  // namespace ferrowin::platform
