// Bonjour through the Avahi daemon: one client and one entry group per advertisement, driven by
// Avahi's own poll thread. The client is made with AVAHI_CLIENT_NO_FAIL, so a daemon that is not
// running yet is waited for; when a running daemon goes away the client fails with "disconnected"
// and is replaced by a new waiting one, which publishes again once the daemon is back.
#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <mutex>

#include "platform/bonjour.h"

namespace ferrowin::platform {

namespace {

class AvahiRegistration final : public BonjourRegistration {
 public:
  AvahiRegistration(std::string type, uint16_t port, std::function<void(BonjourEvent)> onEvent)
      : type_(std::move(type)), port_(port), onEvent_(std::move(onEvent)) {}

  ~AvahiRegistration() override {
    // Stopping the poll thread first guarantees no callback runs during or after teardown.
    if (poll_) avahi_threaded_poll_stop(poll_);
    if (client_) avahi_client_free(client_);  // frees the entry group too
    if (poll_) avahi_threaded_poll_free(poll_);
    avahi_free(name_);
  }

  void start() {
    poll_ = avahi_threaded_poll_new();
    if (!poll_) return fail("could not create the Avahi poll thread");
    avahi_threaded_poll_lock(poll_);
    connect();
    avahi_threaded_poll_unlock(poll_);
    if (!client_) return;
    if (avahi_threaded_poll_start(poll_) < 0) fail("could not start the Avahi poll thread");
  }

 private:
  // With the poll lock held (or on the poll thread).
  void connect() {
    int error = 0;
    client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                               &clientChanged, this, &error);
    // Only a client-side problem (no D-Bus system bus, say) fails here.
    if (!client_) fail(avahi_strerror(error));
  }

  static void clientChanged(AvahiClient* client, AvahiClientState state, void* context) {
    auto* self = static_cast<AvahiRegistration*>(context);
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        self->publish(client);
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        // The host name is changing: withdraw and publish again once the daemon runs.
        if (self->group_) avahi_entry_group_reset(self->group_);
        self->withdrawn({BonjourEvent::Kind::removed, {}});
        break;
      case AVAHI_CLIENT_FAILURE:
        if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
          self->withdrawn({BonjourEvent::Kind::unavailable, avahi_strerror(AVAHI_ERR_DISCONNECTED)});
          self->reconnectSoon();
        } else {
          self->fail(avahi_strerror(avahi_client_errno(client)));
        }
        break;
      case AVAHI_CLIENT_CONNECTING:
        // No daemon yet: nothing is advertised until it appears.
        self->withdrawn({BonjourEvent::Kind::unavailable, "the Avahi daemon is not running"});
        break;
    }
  }

  // The failed client is still inside its own callback: replace it from a zero-delay timeout.
  void reconnectSoon() {
    const AvahiPoll* api = avahi_threaded_poll_get(poll_);
    timeval now{};
    avahi_elapse_time(&now, 0, 0);
    if (reconnect_) api->timeout_update(reconnect_, &now);
    else reconnect_ = api->timeout_new(api, &now, &reconnectNow, this);
  }

  static void reconnectNow(AvahiTimeout* timeout, void* context) {
    auto* self = static_cast<AvahiRegistration*>(context);
    avahi_threaded_poll_get(self->poll_)->timeout_update(timeout, nullptr);
    if (self->client_) avahi_client_free(self->client_);  // frees the entry group too
    self->client_ = nullptr;
    self->group_ = nullptr;
    self->connect();
  }

  // Reports that nothing is advertised any more, once per loss.
  void withdrawn(BonjourEvent event) {
    if (!advertised_ && reportedLoss_) return;
    advertised_ = false;
    reportedLoss_ = true;
    onEvent_(std::move(event));
  }

  static void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context) {
    auto* self = static_cast<AvahiRegistration*>(context);
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        self->advertised_ = true;
        self->reportedLoss_ = false;
        self->onEvent_(BonjourEvent{BonjourEvent::Kind::added, {}});
        break;
      case AVAHI_ENTRY_GROUP_COLLISION: {
        // Another service has our name: take the next alternative ("name #2") and try again.
        char* next = avahi_alternative_service_name(self->name_);
        avahi_free(self->name_);
        self->name_ = next;
        self->withdrawn({BonjourEvent::Kind::removed, {}});
        self->publish(avahi_entry_group_get_client(group));
        break;
      }
      case AVAHI_ENTRY_GROUP_FAILURE:
        self->fail(avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
        break;
      case AVAHI_ENTRY_GROUP_UNCOMMITED:
      case AVAHI_ENTRY_GROUP_REGISTERING:
        break;
    }
  }

  void publish(AvahiClient* client) {
    if (!name_) name_ = avahi_strdup(avahi_client_get_host_name(client));
    if (!group_) group_ = avahi_entry_group_new(client, &groupChanged, this);
    if (!group_) return fail(avahi_strerror(avahi_client_errno(client)));
    avahi_entry_group_reset(group_);
    const int error = avahi_entry_group_add_service(group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                                    AvahiPublishFlags(0), name_, type_.c_str(),
                                                    nullptr, nullptr, port_, nullptr);
    if (error < 0) return fail(avahi_strerror(error));
    if (const int committed = avahi_entry_group_commit(group_); committed < 0)
      fail(avahi_strerror(committed));
  }

  void fail(const std::string& description) {
    if (failed_) return;
    failed_ = true;
    onEvent_(BonjourEvent{BonjourEvent::Kind::failed, description});
  }

  std::string type_;
  uint16_t port_;
  std::function<void(BonjourEvent)> onEvent_;
  AvahiThreadedPoll* poll_ = nullptr;
  AvahiClient* client_ = nullptr;
  AvahiEntryGroup* group_ = nullptr;
  AvahiTimeout* reconnect_ = nullptr;  // freed with the poll
  char* name_ = nullptr;
  bool advertised_ = false;
  bool reportedLoss_ = false;
  bool failed_ = false;
};

class AvahiBonjour final : public Bonjour {
 public:
  std::unique_ptr<BonjourRegistration> advertise(
      const std::string& type, uint16_t port, std::function<void(BonjourEvent)> onEvent) override {
    auto registration = std::make_unique<AvahiRegistration>(type, port, std::move(onEvent));
    registration->start();
    return registration;
  }
};

}  // namespace

std::shared_ptr<Bonjour> makeAvahiBonjour() { return std::make_shared<AvahiBonjour>(); }

}  // namespace ferrowin::platform
