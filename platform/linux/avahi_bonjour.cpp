// Bonjour through the Avahi daemon: one client and one entry group per advertisement, driven by
// Avahi's own poll thread.
#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

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
    int error = 0;
    // Without AVAHI_CLIENT_NO_FAIL a missing daemon fails here at once instead of waiting for it.
    avahi_threaded_poll_lock(poll_);
    client_ = avahi_client_new(avahi_threaded_poll_get(poll_), AvahiClientFlags(0), &clientChanged,
                               this, &error);
    avahi_threaded_poll_unlock(poll_);
    if (!client_) return fail(avahi_strerror(error));
    if (avahi_threaded_poll_start(poll_) < 0) fail("could not start the Avahi poll thread");
  }

 private:
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
        break;
      case AVAHI_CLIENT_FAILURE:
        self->fail(avahi_strerror(avahi_client_errno(client)));
        break;
      case AVAHI_CLIENT_CONNECTING:
        break;
    }
  }

  static void groupChanged(AvahiEntryGroup* group, AvahiEntryGroupState state, void* context) {
    auto* self = static_cast<AvahiRegistration*>(context);
    switch (state) {
      case AVAHI_ENTRY_GROUP_ESTABLISHED:
        self->onEvent_(BonjourEvent{BonjourEvent::Kind::added, {}});
        break;
      case AVAHI_ENTRY_GROUP_COLLISION: {
        // Another service has our name: take the next alternative ("name #2") and try again.
        char* next = avahi_alternative_service_name(self->name_);
        avahi_free(self->name_);
        self->name_ = next;
        self->onEvent_(BonjourEvent{BonjourEvent::Kind::removed, {}});
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
  char* name_ = nullptr;
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
