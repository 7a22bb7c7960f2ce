// serve's discovery through Avahi's client library.
#include "ctl/web_mdns.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <cstdlib>

// Everything here but the constructor and destructor runs on Avahi's
// thread.
struct MdnsAdvert::Avahi {
    const CtlContext &ctx;
    MdnsServices services;
    AvahiThreadedPoll *poll = nullptr;
    AvahiClient *client = nullptr;
    AvahiEntryGroup *group = nullptr;
    bool failureSaid = false;

    void say(const QString &text)
    {
        if (!failureSaid)
            complain(ctx, "serve: mDNS: " + text);
        failureSaid = true;
    }

    // The three services under the one name; another name when it is taken.
    void publish(AvahiClient *c)
    {
        if (!group)
            group = avahi_entry_group_new(c, groupChanged, this);
        if (!group) {
            say(avahi_strerror(avahi_client_errno(c)));
            return;
        }
        const std::string model = "model=T-483", ident = "identification=" + std::to_string(services.identification),
                          version = "version=" + services.version;
        const char *name = services.name.c_str();
        int error = avahi_entry_group_add_service(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), name,
                                                  "_scpi-raw._tcp", nullptr, nullptr, uint16_t(services.scpiPort),
                                                  model.c_str(), ident.c_str(), "manufacturer=t483", version.c_str(),
                                                  nullptr);
        for (const char *type : {"_http._tcp", "_lxi._tcp"}) {
            if (!error && services.httpPort)
                error = avahi_entry_group_add_service(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                      name, type, nullptr, nullptr, uint16_t(services.httpPort),
                                                      model.c_str(), ident.c_str(), "path=/", nullptr);
        }
        if (error == AVAHI_ERR_COLLISION) {
            rename();
            publish(c);
        } else if (error || (error = avahi_entry_group_commit(group))) {
            say(avahi_strerror(error));
        }
    }

    void rename()
    {
        char *other = avahi_alternative_service_name(services.name.c_str());
        services.name = other;
        avahi_free(other);
        avahi_entry_group_reset(group);
    }

    static void groupChanged(AvahiEntryGroup *g, AvahiEntryGroupState state, void *self)
    {
        auto *a = static_cast<Avahi *>(self);
        if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            a->group = g;
            a->rename();
            a->publish(avahi_entry_group_get_client(g));
        }
    }

    static void clientChanged(AvahiClient *c, AvahiClientState state, void *self)
    {
        auto *a = static_cast<Avahi *>(self);
        if (state == AVAHI_CLIENT_S_RUNNING)
            a->publish(c);
        else if ((state == AVAHI_CLIENT_S_COLLISION || state == AVAHI_CLIENT_S_REGISTERING) && a->group)
            avahi_entry_group_reset(a->group);
        else if (state == AVAHI_CLIENT_FAILURE)
            a->say(avahi_strerror(avahi_client_errno(c)));
    }
};

MdnsAdvert::MdnsAdvert(const CtlContext &ctx, const MdnsServices &services)
    : avahi_(std::make_unique<Avahi>(Avahi{ctx, services}))
{
    avahi_->poll = avahi_threaded_poll_new();
    if (!avahi_->poll)
        return;
    int error = 0;
    avahi_->client = avahi_client_new(avahi_threaded_poll_get(avahi_->poll), AvahiClientFlags(0),
                                      Avahi::clientChanged, avahi_.get(), &error);
    if (!avahi_->client) {
        complain(ctx, QString("serve: no mDNS: Avahi is not running (%1)").arg(avahi_strerror(error)));
        return;
    }
    avahi_threaded_poll_start(avahi_->poll);
}

MdnsAdvert::~MdnsAdvert()
{
    if (!avahi_->poll)
        return;
    avahi_threaded_poll_stop(avahi_->poll);
    // Freeing the client withdraws its services.
    if (avahi_->client)
        avahi_client_free(avahi_->client);
    avahi_threaded_poll_free(avahi_->poll);
}
