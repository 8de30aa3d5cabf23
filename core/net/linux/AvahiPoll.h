#pragma once

#include <avahi-common/watch.h>

#include <asio/io_context.hpp>

namespace hh {

// Avahi's main-loop interface (file-descriptor watches and timeouts) on an Asio
// io_context, so the Avahi client runs on the owning executor's thread with no
// thread or timer of its own. Every callback runs on that thread, and every
// function of api() must be called there. Avahi must free all its watches and
// timeouts (avahi_client_free) before this object goes.
class AsioAvahiPoll {
public:
    explicit AsioAvahiPoll(asio::io_context& context);

    AsioAvahiPoll(const AsioAvahiPoll&) = delete;
    AsioAvahiPoll& operator=(const AsioAvahiPoll&) = delete;

    const AvahiPoll* api() const { return &api_; }
    asio::io_context& context() { return context_; }

private:
    asio::io_context& context_;
    AvahiPoll api_{};
};

} // namespace hh
