#include "platform/linux/screencast_portal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>
#include <variant>

namespace ferrowin::platform {

std::string ScreenCastError::description() const {
  const char* what = code == Code::unavailable ? "the ScreenCast portal is unavailable"
                     : code == Code::denied    ? "screen capture was not allowed"
                                               : "the ScreenCast portal failed";
  return detail.empty() ? what : std::string(what) + ": " + detail;
}

namespace {

constexpr const char* kPortal = "org.freedesktop.portal.Desktop";
constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";
constexpr const char* kScreenCast = "org.freedesktop.portal.ScreenCast";
// Source types and cursor modes of the interface.
constexpr uint32_t kMonitor = 1;
constexpr uint32_t kCursorEmbedded = 2, kCursorMetadata = 4;
constexpr uint32_t kPersistUntilRevoked = 2;

using Code = ScreenCastError::Code;

ScreenCastError failure(Code code, std::string detail) { return ScreenCastError{code, std::move(detail)}; }

std::string errnoText(int result) { return std::strerror(-result); }

struct BusCloser {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusCloser>;
struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// A D-Bus error as our error: a portal that is not there is `unavailable`.
ScreenCastError busFailure(const sd_bus_error& error, int result) {
  const bool missing = sd_bus_error_has_names(&error, SD_BUS_ERROR_SERVICE_UNKNOWN,
                                              SD_BUS_ERROR_UNKNOWN_METHOD,
                                              SD_BUS_ERROR_UNKNOWN_INTERFACE,
                                              SD_BUS_ERROR_UNKNOWN_OBJECT, SD_BUS_ERROR_NAME_HAS_NO_OWNER);
  return failure(missing ? Code::unavailable : Code::failed,
                 error.message != nullptr ? error.message : errnoText(result));
}

// The grant's session: closing it (or the bus connection) ends the screen cast. The desktop's
// Closed signal is watched from CreateSession on; once the grant is held, a thread of its own
// waits for it (and for the bus going away) until the session is closed here.
struct Session {
  Bus bus;
  std::string handle;
  sd_bus_slot* closedMatch = nullptr;
  std::atomic<bool> ended{false};
  std::function<void(bool revoked, const std::string& why)> onEnded;
  int wake = -1;  // an eventfd that stops the watcher
  std::thread watcher;

  ~Session() {
    if (watcher.joinable()) {
      const uint64_t one = 1;
      (void)::write(wake, &one, sizeof one);
      watcher.join();
    }
    if (wake >= 0) ::close(wake);
    sd_bus_slot_unref(closedMatch);
    if (bus && !handle.empty()) {
      sd_bus_call_method(bus.get(), kPortal, handle.c_str(), "org.freedesktop.portal.Session",
                         "Close", nullptr, nullptr, "");
    }
  }

  void end(bool revoked, const std::string& why) {
    if (!ended.exchange(true) && onEnded) onEnded(revoked, why);
  }

  int watchClosed(sd_bus* on) {
    return sd_bus_match_signal(
        on, &closedMatch, nullptr, handle.c_str(), "org.freedesktop.portal.Session", "Closed",
        [](sd_bus_message*, void* user, sd_bus_error*) {
          static_cast<Session*>(user)->end(true, "the desktop closed the screen cast");
          return 0;
        },
        this);
  }

  void startWatching(std::function<void(bool, const std::string&)> handler) {
    if (!handler) return;
    onEnded = std::move(handler);
    wake = eventfd(0, EFD_CLOEXEC);
    if (wake < 0) return;
    watcher = std::thread([this] { watch(); });
  }

  void watch() {
    for (;;) {
      int r = 0;
      while ((r = sd_bus_process(bus.get(), nullptr)) > 0) {
      }
      const int events = r < 0 ? r : sd_bus_get_events(bus.get());
      if (events < 0) return end(false, "the session bus went away");
      if (ended) return;
      pollfd fds[2] = {{sd_bus_get_fd(bus.get()), short(events), 0}, {wake, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if (fds[1].revents != 0) return;
    }
  }
};

// Texts are borrowed: they outlive the call they go into.
using OptionValue = std::variant<const char*, uint32_t, bool>;
struct Option {
  const char* key;
  OptionValue value;
};

int appendOptions(sd_bus_message* message, const std::vector<Option>& options) {
  int r = sd_bus_message_open_container(message, 'a', "{sv}");
  for (const Option& option : options) {
    if (r >= 0) r = sd_bus_message_open_container(message, 'e', "sv");
    if (r >= 0) r = sd_bus_message_append_basic(message, 's', option.key);
    if (r < 0) return r;
    if (const auto* text = std::get_if<const char*>(&option.value)) {
      r = sd_bus_message_append(message, "v", "s", *text);
    } else if (const auto* number = std::get_if<uint32_t>(&option.value)) {
      r = sd_bus_message_append(message, "v", "u", *number);
    } else {
      r = sd_bus_message_append(message, "v", "b", int(std::get<bool>(option.value)));
    }
    if (r >= 0) r = sd_bus_message_close_container(message);
  }
  if (r >= 0) r = sd_bus_message_close_container(message);
  return r;
}

// Walks a{sv}: `entry` reads the variant of the keys it knows and answers true; the others are
// skipped. Answers a negative errno when the message does not have that shape.
int forEachEntry(sd_bus_message* message,
                 const std::function<bool(std::string_view, sd_bus_message*, int&)>& entry) {
  int r = sd_bus_message_enter_container(message, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(message, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read_basic(message, 's', &key)) < 0) return r;
    int read = 0;
    if (!entry(key, message, read)) read = sd_bus_message_skip(message, "v");
    if (read < 0) return read;
    if ((r = sd_bus_message_exit_container(message)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(message);
}

// A variant holding a string or an object path.
int readText(sd_bus_message* message, std::string& out) {
  char type = 0;
  const char* contents = nullptr;
  int r = sd_bus_message_peek_type(message, &type, &contents);
  if (r < 0) return r;
  if (contents == nullptr || (std::strcmp(contents, "s") != 0 && std::strcmp(contents, "o") != 0)) {
    return sd_bus_message_skip(message, "v");
  }
  const char* text = nullptr;
  if ((r = sd_bus_message_enter_container(message, 'v', contents)) < 0) return r;
  if ((r = sd_bus_message_read_basic(message, contents[0], &text)) < 0) return r;
  out = text;
  return sd_bus_message_exit_container(message);
}

// A variant holding (ii).
int readPair(sd_bus_message* message, double& first, double& second) {
  int32_t a = 0, b = 0;
  int r = sd_bus_message_read(message, "v", "(ii)", &a, &b);
  if (r >= 0) {
    first = a;
    second = b;
  }
  return r;
}

// streams: a(ua{sv}), each the node id and its properties (position, size).
int readStreams(sd_bus_message* message, std::vector<PipeWireSource>& sources) {
  int r = sd_bus_message_enter_container(message, 'v', "a(ua{sv})");
  if (r < 0) return r;
  if ((r = sd_bus_message_enter_container(message, 'a', "(ua{sv})")) < 0) return r;
  while ((r = sd_bus_message_enter_container(message, 'r', "ua{sv}")) > 0) {
    PipeWireSource source;
    uint32_t node = 0;
    if ((r = sd_bus_message_read_basic(message, 'u', &node)) < 0) return r;
    source.nodeId = node;
    source.displayId = uint32_t(sources.size() + 1);
    r = forEachEntry(message, [&](std::string_view key, sd_bus_message* m, int& read) {
      if (key == "position") read = readPair(m, source.frame.x, source.frame.y);
      else if (key == "size") read = readPair(m, source.frame.width, source.frame.height);
      else return false;
      return true;
    });
    if (r < 0) return r;
    if ((r = sd_bus_message_exit_container(message)) < 0) return r;
    sources.push_back(source);
  }
  if (r < 0) return r;
  if ((r = sd_bus_message_exit_container(message)) < 0) return r;
  return sd_bus_message_exit_container(message);
}

class Conversation {
 public:
  Conversation(Bus bus, std::chrono::seconds timeout, std::function<bool()> cancelled)
      : bus_(std::move(bus)), timeout_(timeout), cancelled_(std::move(cancelled)) {
    const char* unique = nullptr;
    sd_bus_get_unique_name(bus_.get(), &unique);
    // ":1.42" becomes "1_42" in the request paths the portal uses.
    for (const char* c = unique != nullptr ? unique + 1 : ""; *c != '\0'; ++c) {
      sender_ += *c == '.' ? '_' : *c;
    }
  }

  sd_bus* bus() { return bus_.get(); }
  Bus release() { return std::move(bus_); }

  Expected<uint32_t, ScreenCastError> property(const char* name) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    uint32_t value = 0;
    const int r = sd_bus_get_property_trivial(bus_.get(), kPortal, kPortalPath, kScreenCast, name,
                                              &error, 'u', &value);
    if (r < 0) {
      auto result = busFailure(error, r);
      sd_bus_error_free(&error);
      return unexpected(result);
    }
    return value;
  }

  // Calls `method` with the arguments `arguments` appends and then `options` (plus our
  // handle_token), waits for the request's Response and answers it positioned at its results
  // (a{sv}), or the error it stands for.
  Expected<Message, ScreenCastError> request(
      const char* method, const std::function<int(sd_bus_message*)>& arguments,
      std::vector<Option> options) {
    const std::string token = "ferrowin" + std::to_string(++requests_);
    const std::string path = "/org/freedesktop/portal/desktop/request/" + sender_ + "/" + token;
    // Subscribed before the call, so an answer that comes at once is not missed.
    Message response;
    sd_bus_slot* slot = nullptr;
    int r = sd_bus_match_signal(
        bus_.get(), &slot, nullptr, path.c_str(), "org.freedesktop.portal.Request", "Response",
        [](sd_bus_message* message, void* user, sd_bus_error*) {
          static_cast<Message*>(user)->reset(sd_bus_message_ref(message));
          return 0;
        },
        &response);
    if (r < 0) return unexpected(failure(Code::failed, "cannot watch the request: " + errnoText(r)));
    struct SlotUnref {
      sd_bus_slot* slot;
      ~SlotUnref() { sd_bus_slot_unref(slot); }
    } unref{slot};

    sd_bus_message* call = nullptr;
    r = sd_bus_message_new_method_call(bus_.get(), &call, kPortal, kPortalPath, kScreenCast, method);
    if (r < 0) return unexpected(failure(Code::failed, errnoText(r)));
    Message callMessage(call);
    options.push_back({"handle_token", token.c_str()});
    r = arguments(call);
    if (r >= 0) r = appendOptions(call, options);
    if (r < 0) return unexpected(failure(Code::failed, errnoText(r)));
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call(bus_.get(), call, uint64_t(timeout_.count()) * 1'000'000, &error, &reply);
    Message replyMessage(reply);
    if (r < 0) {
      auto result = busFailure(error, r);
      sd_bus_error_free(&error);
      return unexpected(result);
    }

    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    while (!response) {
      r = sd_bus_process(bus_.get(), nullptr);
      if (r < 0) return unexpected(failure(Code::failed, "the session bus went away"));
      if (r > 0) continue;
      if (cancelled_ && cancelled_()) {
        return unexpected(failure(Code::failed, std::string(method) + " was given up"));
      }
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        return unexpected(failure(Code::failed, std::string(method) + " was not answered in time"));
      }
      // In slices, so that giving up is noticed while the user thinks.
      sd_bus_wait(bus_.get(), uint64_t(std::min<int64_t>(left.count(), 200'000)));
    }
    uint32_t code = 0;
    if ((r = sd_bus_message_read_basic(response.get(), 'u', &code)) < 0) {
      return unexpected(failure(Code::failed, "malformed answer to " + std::string(method)));
    }
    if (code == 1) return unexpected(failure(Code::denied, std::string(method) + " was cancelled"));
    // 2: ended otherwise, which is how a portal refuses a grant the user revoked.
    if (code == 2) {
      return unexpected(failure(Code::denied, std::string(method) + " was ended by the desktop"));
    }
    if (code != 0) {
      return unexpected(failure(Code::failed, std::string(method) + " answered " + std::to_string(code)));
    }
    return response;
  }

 private:
  Bus bus_;
  std::chrono::seconds timeout_;
  std::function<bool()> cancelled_;
  std::string sender_;
  int requests_ = 0;
};

Expected<Bus, ScreenCastError> openBus(const std::string& address) {
  sd_bus* bus = nullptr;
  int r = 0;
  if (address.empty()) {
    r = sd_bus_open_user(&bus);
  } else if ((r = sd_bus_new(&bus)) >= 0) {
    r = sd_bus_set_address(bus, address.c_str());
    if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
    if (r >= 0) r = sd_bus_start(bus);
  }
  Bus owned(bus);
  if (r < 0) return unexpected(failure(Code::unavailable, "no session bus: " + errnoText(r)));
  return owned;
}

}  // namespace

Expected<ScreenCastGrant, ScreenCastError> requestScreenCast(const ScreenCastRequest& request) {
  auto bus = openBus(request.busAddress);
  if (!bus) return unexpected(bus.error());
  Conversation conversation(std::move(*bus), request.timeout, request.cancelled);

  // A portal without the ScreenCast interface (no backend for this desktop) is no portal.
  auto version = conversation.property("version");
  if (!version) return unexpected(failure(Code::unavailable, version.error().detail));
  auto cursorModes = conversation.property("AvailableCursorModes");
  const uint32_t cursorMode = !cursorModes                       ? 0
                              : (*cursorModes & kCursorMetadata) ? kCursorMetadata
                              : (*cursorModes & kCursorEmbedded) ? kCursorEmbedded
                                                                 : 0;

  std::string sessionHandle;
  auto created = conversation.request(
      "CreateSession", [](sd_bus_message*) { return 0; },
      {{"session_handle_token", "ferrowin"}});
  if (!created) return unexpected(created.error());
  int r = forEachEntry(created->get(), [&](std::string_view key, sd_bus_message* m, int& read) {
    if (key != "session_handle") return false;
    read = readText(m, sessionHandle);
    return true;
  });
  if (r < 0 || sessionHandle.empty()) {
    return unexpected(failure(Code::failed, "CreateSession gave no session"));
  }
  auto session = std::make_shared<Session>();
  session->handle = sessionHandle;
  if ((r = session->watchClosed(conversation.bus())) < 0) {
    return unexpected(failure(Code::failed, "cannot watch the session: " + errnoText(r)));
  }
  const auto withSession = [&](sd_bus_message* m) {
    return sd_bus_message_append_basic(m, 'o', sessionHandle.c_str());
  };

  std::vector<Option> selection = {{"types", kMonitor}, {"multiple", false}};
  if (cursorMode != 0) selection.push_back({"cursor_mode", cursorMode});
  // Persistence came with version 4 of the interface.
  if (*version >= 4) {
    selection.push_back({"persist_mode", kPersistUntilRevoked});
    if (request.restoreToken && !request.restoreToken->empty()) {
      selection.push_back({"restore_token", request.restoreToken->c_str()});
    }
  }
  auto selected = conversation.request("SelectSources", withSession, selection);
  if (!selected) return unexpected(selected.error());

  auto started = conversation.request(
      "Start",
      [&](sd_bus_message* m) {
        int result = withSession(m);
        return result < 0 ? result : sd_bus_message_append_basic(m, 's', "");
      },
      {});
  if (!started) return unexpected(started.error());
  ScreenCastGrant grant;
  r = forEachEntry(started->get(), [&](std::string_view key, sd_bus_message* m, int& read) {
    if (key == "streams") read = readStreams(m, grant.sources);
    else if (key == "restore_token") read = readText(m, grant.restoreToken);
    else return false;
    return true;
  });
  if (r < 0) return unexpected(failure(Code::failed, "malformed answer to Start"));
  if (grant.sources.empty()) return unexpected(failure(Code::failed, "Start granted no monitor"));

  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  r = sd_bus_call_method(conversation.bus(), kPortal, kPortalPath, kScreenCast,
                         "OpenPipeWireRemote", &error, &reply, "oa{sv}", sessionHandle.c_str(), 0);
  Message replyMessage(reply);
  if (r < 0) {
    auto result = busFailure(error, r);
    sd_bus_error_free(&error);
    return unexpected(result);
  }
  int fd = -1;
  if (sd_bus_message_read_basic(reply, 'h', &fd) < 0 || fd < 0) {
    return unexpected(failure(Code::failed, "OpenPipeWireRemote gave no connection"));
  }
  if (session->ended) {
    return unexpected(failure(Code::denied, "the desktop closed the screen cast"));
  }
  // The descriptor belongs to the message: ours is a duplicate, owned by the session.
  const int owned = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (owned < 0) return unexpected(failure(Code::failed, "cannot keep the PipeWire connection"));
  session->bus = conversation.release();
  session->startWatching(request.onEnded);
  struct Grant {
    Grant(std::shared_ptr<Session> s, int descriptor) : session(std::move(s)), fd(descriptor) {}
    ~Grant() { ::close(fd); }
    Grant(const Grant&) = delete;
    Grant& operator=(const Grant&) = delete;
    std::shared_ptr<Session> session;
    int fd;
  };
  auto kept = std::make_shared<Grant>(session, owned);
  grant.remote = PipeWireRemote{owned, kept};
  return grant;
}

}  // namespace ferrowin::platform
