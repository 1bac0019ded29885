#include "inputhelper/keyboard_injector.h"

#include <optional>
#include <set>
#include <vector>

#include "common/util/log.h"
#include "inputhelper/keyboard_events.h"
#include "inputhelper/keyboard_tables.h"

namespace ferrowin::inputhelper {
namespace {

// The drop rule of every input stream: 0 is a client restart, anything up to 1024 behind the last
// value is a duplicate or arrived late, and anything further behind starts a new stream.
struct SequenceFilter {
  uint32_t last = 0;
  bool have = false;

  bool accept(uint32_t sequence) {
    if (sequence == 0) {
      last = 0;
    } else if (have && sequence <= last && last - sequence < 1025) {
      return false;
    } else {
      last = sequence;
    }
    have = true;
    return true;
  }
};

}  // namespace

struct KeyboardInjector::State : std::enable_shared_from_this<State> {
  State(std::shared_ptr<platform::KeyInjector> injector, common::SerialQueue& q,
        common::TimerFactory& timers)
      : keys(std::move(injector)), poster(*keys), queue(q), restoreTimer(timers.makeTimer()) {}

  std::shared_ptr<platform::KeyInjector> keys;
  KeyEventPoster poster;
  common::SerialQueue& queue;
  std::unique_ptr<common::Timer> restoreTimer;
  std::shared_ptr<spdlog::logger> log = common::serverLog("keyboard");

  SequenceFilter keyFilter;
  SequenceFilter textFilter;
  bool accessibilityPrompted = false;
  std::set<uint16_t> heldKeys;

  // There is no permission prompt on X: an unreachable display or one without XTEST is reported
  // once, and every packet asks again, so a display that comes back is used at once.
  bool accessibilityTrusted() {
    if (keys->accessibilityTrusted()) return true;
    if (accessibilityPrompted) return false;
    accessibilityPrompted = true;
    log->error(
        "Keyboard injection requires Accessibility permission (System Settings › Privacy & "
        "Security › Accessibility)");
    return keys->accessibilityTrusted();
  }

  void handleKey(const VirtualKeyPacket& packet) {
    if (!keyFilter.accept(packet.sequence)) return;
    if (!accessibilityTrusted()) return;
    const bool down = (packet.flags & 0x01) != 0;
    const uint16_t keyCode = packet.keyCode;
    if (down) {
      if (!heldKeys.insert(keyCode).second) return;
    } else {
      if (heldKeys.erase(keyCode) == 0) return;
    }
    poster.post(keyCode, down, heldModifierFlags(heldKeys));
    poster.settle(heldKeys);
    scheduleKeymapRestore();
  }

  void typeText(uint32_t sequence, const std::string& text) {
    if (!textFilter.accept(sequence)) return;
    if (!accessibilityTrusted()) return;
    if (text.empty()) return;
    // Decided once per text, and only when a character depends on it: asking the X server
    // about its windows costs more than typing a plain letter.
    std::optional<bool> compatibilityLayer;
    auto underCompatibilityLayer = [&] {
      if (!compatibilityLayer) compatibilityLayer = frontmostIsCompatibilityLayer();
      return *compatibilityLayer;
    };
    const uint64_t held = heldModifierFlags(heldKeys);
    for (char32_t scalar : utf8Scalars(text)) {
      auto code = altCode(scalar);
      if (auto stroke = usKeystroke(scalar)) {
        poster.post(stroke->keyCode, true, held | stroke->flags, scalar);
        poster.post(stroke->keyCode, false, held | stroke->flags, scalar);
      } else if (code && underCompatibilityLayer()) {
        typeAltCode(*code);
      } else {
        poster.post(kNoKeyCode, true, held, scalar);
        poster.post(kNoKeyCode, false, held, scalar);
      }
    }
    poster.settle(heldKeys);
    scheduleKeymapRestore();
  }

  void typeAltCode(const std::string& code) {
    poster.post(kOptionKeyCode, true, kOptionFlag);
    for (char digit : code) {
      auto keypadKey = keypadKeyCode(digit);
      if (!keypadKey) continue;
      poster.post(*keypadKey, true, kOptionFlag);
      poster.post(*keypadKey, false, kOptionFlag);
    }
    poster.post(kOptionKeyCode, false, 0);
  }

  bool frontmostIsCompatibilityLayer() {
    auto path = keys->frontmostExecutable();
    return path && isCompatibilityLayerPath(*path);
  }

  void releaseAll() {
    const std::set<uint16_t> taken = std::move(heldKeys);
    heldKeys.clear();
    for (uint16_t keyCode : taken) poster.post(keyCode, false, 0);
    poster.settle(heldKeys);
    if (!taken.empty()) {
      log->info("Released {} held key(s) (session end)", taken.size());
      scheduleKeymapRestore();
    }
    keyFilter = {};
    textFilter = {};
  }

  // Typed characters may sit on remapped spare keycodes; give them back once the events have had
  // time to be read. Every keyboard event pushes the restore further out.
  void scheduleKeymapRestore() {
    restoreTimer->start(kKeymapRestoreDelay, [this] {
      // Real timers fire on the keyboard queue, a test clock on its caller: hop either way.
      queue.post([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->keys->restoreKeymap();
      });
    });
  }
};

KeyboardInjector::KeyboardInjector(std::shared_ptr<platform::KeyInjector> keys,
                                   common::TimerFactory* timers)
    : queue_(std::make_unique<common::SerialQueue>("com.zavel.ferrowin.keyboard")) {
  if (timers == nullptr) {
    ownTimers_ = std::make_unique<common::AsioTimerFactory>(queue_->executor());
    timers = ownTimers_.get();
  }
  state_ = std::make_shared<State>(std::move(keys), *queue_, *timers);
}

KeyboardInjector::~KeyboardInjector() {
  // The state (its timer, the X connection) goes on the queue, after any work already running.
  queue_->sync([this] { state_.reset(); });
}

void KeyboardInjector::handleKey(const VirtualKeyPacket& packet) {
  queue_->post([weak = std::weak_ptr<State>(state_), packet] {
    if (auto state = weak.lock()) state->handleKey(packet);
  });
}

void KeyboardInjector::typeText(uint32_t sequence, std::string text) {
  queue_->post([weak = std::weak_ptr<State>(state_), sequence, text = std::move(text)] {
    if (auto state = weak.lock()) state->typeText(sequence, text);
  });
}

void KeyboardInjector::releaseAll() {
  queue_->post([weak = std::weak_ptr<State>(state_)] {
    if (auto state = weak.lock()) state->releaseAll();
  });
}

void KeyboardInjector::flush() {
  queue_->sync([] {});
}

}  // namespace ferrowin::inputhelper
