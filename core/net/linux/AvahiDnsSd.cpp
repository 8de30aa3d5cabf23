#include "core/net/linux/AvahiDnsSd.h"

#include "core/log/Log.h"
#include "core/net/linux/AvahiPoll.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>

#include <algorithm>
#include <map>
#include <net/if.h>
#include <string>
#include <vector>

namespace hh {

DnsSdError dnsSdErrorFromAvahi(int avahiError) {
    std::int32_t code;
    switch (avahiError) {
    case AVAHI_ERR_ACCESS_DENIED:
    case AVAHI_ERR_NOT_PERMITTED: code = DnsSdErrorCode::policyDenied; break;
    case AVAHI_ERR_NO_DAEMON:
    case AVAHI_ERR_DISCONNECTED: code = DnsSdErrorCode::serviceNotRunning; break;
    case AVAHI_ERR_NO_MEMORY: code = DnsSdErrorCode::noMemory; break;
    case AVAHI_ERR_COLLISION: code = DnsSdErrorCode::nameConflict; break;
    case AVAHI_ERR_TIMEOUT: code = DnsSdErrorCode::timeout; break;
    case AVAHI_ERR_BAD_STATE: code = DnsSdErrorCode::badState; break;
    case AVAHI_ERR_INVALID_SERVICE_NAME:
    case AVAHI_ERR_INVALID_SERVICE_TYPE:
    case AVAHI_ERR_INVALID_DOMAIN_NAME:
    case AVAHI_ERR_INVALID_PORT:
    case AVAHI_ERR_INVALID_FLAGS:
    case AVAHI_ERR_INVALID_ARGUMENT: code = DnsSdErrorCode::badParam; break;
    default: code = DnsSdErrorCode::unknown; break;
    }
    return DnsSdError{code, avahi_strerror(avahiError)};
}

namespace {

// Owners of Avahi's objects: each is freed once, by whoever holds it last.
template <auto Free>
struct AvahiFree {
    template <class T>
    void operator()(T* object) const { Free(object); }
};
using AvahiClientPtr = std::unique_ptr<AvahiClient, AvahiFree<avahi_client_free>>;
using AvahiEntryGroupPtr = std::unique_ptr<AvahiEntryGroup, AvahiFree<avahi_entry_group_free>>;
using AvahiServiceBrowserPtr = std::unique_ptr<AvahiServiceBrowser, AvahiFree<avahi_service_browser_free>>;
using AvahiServiceResolverPtr = std::unique_ptr<AvahiServiceResolver, AvahiFree<avahi_service_resolver_free>>;

// Objects holding Avahi or Asio state are destroyed on the executor's thread,
// wherever their last owner lets go of them.
template <class T, class... Args>
std::shared_ptr<T> makeOnExecutor(AsioExecutor& executor, Args&&... args) {
    return std::shared_ptr<T>(new T(executor, std::forward<Args>(args)...), [&executor](T* object) {
        if (executor.isCurrentThread())
            delete object;
        else
            asio::post(executor.context(), [object] { delete object; });
    });
}

// One Avahi client shared by a platform's listeners and browsers, reconnected
// whenever the daemon goes away.
class AvahiSession final : public std::enable_shared_from_this<AvahiSession> {
public:
    class User {
    public:
        virtual ~User() = default;
        // The daemon is up and the host name established: advertise and browse.
        virtual void clientRunning(AvahiClient* client) = 0;
        // The host name is being (re)registered: withdraw advertisements until running.
        virtual void clientRegistering() = 0;
        // The client is unusable; free every object made on it.
        virtual void clientLost(const DnsSdError& error) = 0;
        // The names this platform's listeners advertise have changed.
        virtual void ownNamesChanged() {}
    };

    explicit AvahiSession(AsioExecutor& executor) : executor_(executor), poll_(executor.context()) {}
    // The client goes before the poll it runs on.
    ~AvahiSession() { client_.reset(); }

    void add(User* user) {
        users_.push_back(user);
        if (!client_ && !isReconnectPending_) connect();
    }
    void remove(User* user) { std::erase(users_, user); }

    // The client while it is running, else null.
    AvahiClient* runningClient() const { return isRunning_ ? client_.get() : nullptr; }
    // Why the client is not running.
    const DnsSdError& lastError() const { return lastError_; }

    // The service names this platform advertises right now. Browsers leave them
    // out: the flags Avahi puts on a result (local, our own) are decided by name
    // when the result first comes, and are stale once a collision renamed us.
    void setOwnName(User* user, std::string name) {
        auto& current = ownNames_[user];
        if (current == name) return;
        current = std::move(name);
        forEachUser([](User* u) { u->ownNamesChanged(); });
    }
    void clearOwnName(User* user) {
        if (ownNames_.erase(user) == 0) return;
        forEachUser([](User* u) { u->ownNamesChanged(); });
    }
    bool isOwnName(const std::string& name) const {
        for (const auto& [user, own] : ownNames_)
            if (own == name) return true;
        return false;
    }

private:
    void connect() {
        int error = 0;
        // NO_FAIL: when the daemon is not there, wait for it instead of failing.
        AvahiClient* client = avahi_client_new(poll_.api(), AVAHI_CLIENT_NO_FAIL, &AvahiSession::clientCallback,
                                               this, &error);
        if (!client) {
            // Not even the system bus: try again later, less and less often.
            HH_LOG_DEBUG(logcat::discovery, "no Avahi client: " << avahi_strerror(error));
            lose(DnsSdError{DnsSdErrorCode::serviceNotRunning, avahi_strerror(error)});
            scheduleReconnect();
            return;
        }
        client_.reset(client);
    }

    static void clientCallback(AvahiClient* client, AvahiClientState state, void* userdata) {
        auto* self = static_cast<AvahiSession*>(userdata);
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            self->isRunning_ = true;
            self->reconnectDelay_ = std::chrono::milliseconds(0);
            self->forEachUser([client](User* user) { user->clientRunning(client); });
            break;
        case AVAHI_CLIENT_S_REGISTERING:
        case AVAHI_CLIENT_S_COLLISION:
            self->isRunning_ = false;
            self->forEachUser([](User* user) { user->clientRegistering(); });
            break;
        case AVAHI_CLIENT_CONNECTING:
            self->lose(DnsSdError{DnsSdErrorCode::serviceNotRunning, avahi_strerror(AVAHI_ERR_NO_DAEMON)});
            break;
        case AVAHI_CLIENT_FAILURE: {
            const int error = avahi_client_errno(client);
            self->lose(dnsSdErrorFromAvahi(error));
            // Not from inside the client's own callback: free it and start anew
            // (waiting for the daemon to come back).
            if (error != AVAHI_ERR_DISCONNECTED && self->reconnectDelay_.count() == 0)
                self->reconnectDelay_ = std::chrono::seconds(1);
            self->scheduleReconnect();
            break;
        }
        }
    }

    void lose(const DnsSdError& error) {
        isRunning_ = false;
        lastError_ = error;
        forEachUser([&error](User* user) { user->clientLost(error); });
    }

    void scheduleReconnect() {
        if (isReconnectPending_) return;
        isReconnectPending_ = true;
        auto task = [weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            self->isReconnectPending_ = false;
            self->client_.reset();
            if (!self->users_.empty()) self->connect();
        };
        const auto delay = reconnectDelay_;
        reconnectDelay_ = std::min<std::chrono::milliseconds>(
            std::max<std::chrono::milliseconds>(delay * 2, std::chrono::seconds(1)), std::chrono::seconds(30));
        if (delay.count() == 0)
            executor_.post(std::move(task));
        else
            executor_.postAfter(delay, std::move(task));
    }

    // A user's reaction may remove other users (or itself): only those still
    // registered are called.
    template <class F>
    void forEachUser(F f) {
        const auto users = users_;
        for (User* user : users)
            if (std::find(users_.begin(), users_.end(), user) != users_.end()) f(user);
    }

    AsioExecutor& executor_;
    AsioAvahiPoll poll_;
    AvahiClientPtr client_;
    bool isRunning_ = false;
    bool isReconnectPending_ = false;
    std::chrono::milliseconds reconnectDelay_{0};
    DnsSdError lastError_{DnsSdErrorCode::serviceNotRunning, "not connected"};
    std::vector<User*> users_;
    std::map<User*, std::string> ownNames_;
};

class AsioConnection final : public DnsSdConnection {
public:
    explicit AsioConnection(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {}
    void cancel() override {
        std::error_code ec;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
        socket_.close(ec);
    }

private:
    asio::ip::tcp::socket socket_;
};

class AvahiListener final : public DnsSdListener,
                            public AvahiSession::User,
                            public std::enable_shared_from_this<AvahiListener> {
public:
    AvahiListener(AsioExecutor& executor, std::shared_ptr<AvahiSession> session)
        : executor_(executor), session_(std::move(session)), acceptor_(executor.context()) {
        // IPv4, like the audio; any port, with local address reuse. Throws.
        const asio::ip::tcp::endpoint any(asio::ip::tcp::v4(), 0);
        acceptor_.open(any.protocol());
        acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
        acceptor_.bind(any);
        acceptor_.listen();
        port_ = acceptor_.local_endpoint().port();
    }

    ~AvahiListener() override { shutdown(); }

    void start() override {
        if (isStarted_ || isCancelled_) return;
        isStarted_ = true;
        accept();
        if (!service) return;
        name_ = service->name;
        session_->add(this);
        if (auto* client = session_->runningClient()) clientRunning(client);
    }

    void cancel() override { shutdown(); }

    void clientRunning(AvahiClient* client) override {
        if (isCancelled_ || !service) return;
        if (!group_) group_.reset(avahi_entry_group_new(client, &AvahiListener::groupCallback, this));
        if (!group_) {  // nothing to advertise with; the next reconnect tries again
            advertiseFailure_.failed(avahi_strerror(avahi_client_errno(client)));
            return;
        }
        if (avahi_entry_group_is_empty(group_.get())) advertise();
    }

    void clientRegistering() override {
        if (group_) avahi_entry_group_reset(group_.get());
    }

    void clientLost(const DnsSdError&) override {
        group_.reset();
        // The own name stays until the next advertisement replaces it: our
        // service may still be in the browsers' lists, and must not show there.
        name_ = service ? service->name : std::string();  // a new daemon may have no collision
    }

private:
    void accept() {
        acceptor_.async_accept([weak = weak_from_this()](const std::error_code& ec, asio::ip::tcp::socket socket) {
            auto self = weak.lock();
            if (!self || self->isCancelled_ || ec == asio::error::operation_aborted) return;
            if (!ec) {
                // Closed here unless the handler keeps it.
                auto connection = std::make_shared<AsioConnection>(std::move(socket));
                if (self->onNewConnection) self->onNewConnection(connection);
                self->accept();
            } else {
                // Out of descriptors or similar: try again shortly rather than spin.
                self->executor_.postAfter(std::chrono::milliseconds(100), [weak] {
                    if (auto again = weak.lock(); again && !again->isCancelled_) again->accept();
                });
            }
        });
    }

    void advertise() {
        // A name another service on this daemon already holds is settled at once
        // with the alternative name; a conflict on the network comes later as
        // AVAHI_ENTRY_GROUP_COLLISION.
        for (int attempt = 0; attempt < 100; ++attempt) {
            const int error = avahi_entry_group_add_service_strlst(
                group_.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, AvahiPublishFlags(0), name_.c_str(),
                service->type.c_str(), nullptr, nullptr, port_, nullptr);
            if (error == AVAHI_ERR_COLLISION) {
                rename();
                continue;
            }
            if (error == AVAHI_OK) {
                session_->setOwnName(this, name_);
                const int committed = avahi_entry_group_commit(group_.get());
                if (committed != AVAHI_OK) advertiseFailure_.failed(avahi_strerror(committed));
            } else {
                advertiseFailure_.failed(avahi_strerror(error));
            }
            break;
        }
    }

    void rename() {
        char* alternative = avahi_alternative_service_name(name_.c_str());
        if (alternative) {
            name_ = alternative;
            avahi_free(alternative);
        }
    }

    static void groupCallback(AvahiEntryGroup* group, AvahiEntryGroupState state, void* userdata) {
        auto* self = static_cast<AvahiListener*>(userdata);
        if (self->isCancelled_) return;
        if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) {
            HH_LOG_INFO(logcat::discovery, "advertised as \"" << self->name_ << "\"");
            self->advertiseFailure_.succeeded();
        }
        if (state == AVAHI_ENTRY_GROUP_FAILURE)
            self->advertiseFailure_.failed(avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(group))));
        if (state != AVAHI_ENTRY_GROUP_COLLISION) return;
        HH_LOG_INFO(logcat::discovery, "\"" << self->name_ << "\" is taken on the network; taking the next name");
        // Another machine holds the name: take the next one ("Name #2") as DNS-SD
        // expects; outside Avahi's own call into us.
        asio::post(self->executor_.context(), [weak = self->weak_from_this(), group] {
            auto again = weak.lock();
            if (!again || again->isCancelled_ || again->group_.get() != group) return;
            again->rename();
            avahi_entry_group_reset(group);
            again->advertise();
        });
    }

    void shutdown() {
        if (isCancelled_) return;
        isCancelled_ = true;
        session_->remove(this);
        session_->clearOwnName(this);
        group_.reset();
        std::error_code ec;
        acceptor_.close(ec);
    }

    AsioExecutor& executor_;
    std::shared_ptr<AvahiSession> session_;
    asio::ip::tcp::acceptor acceptor_;
    std::uint16_t port_ = 0;
    std::string name_;
    AvahiEntryGroupPtr group_;
    bool isStarted_ = false;
    bool isCancelled_ = false;
    FailureLog advertiseFailure_{logcat::discovery, "advertising"};
};

class AvahiBrowser final : public DnsSdBrowser,
                           public AvahiSession::User,
                           public std::enable_shared_from_this<AvahiBrowser> {
public:
    AvahiBrowser(AsioExecutor& executor, std::shared_ptr<AvahiSession> session, std::string type, std::string domain)
        : executor_(executor), session_(std::move(session)), type_(std::move(type)), domain_(std::move(domain)) {}

    ~AvahiBrowser() override { shutdown(); }

    void start() override {
        if (isStarted_ || isCancelled_) return;
        isStarted_ = true;
        deliverState({DnsSdBrowserState::Kind::setup, std::nullopt});
        session_->add(this);
        if (auto* client = session_->runningClient())
            clientRunning(client);
        else if (!browser_)
            deliverWaiting(session_->lastError());
    }

    void cancel() override { shutdown(); }

    void clientRunning(AvahiClient* client) override {
        if (isCancelled_ || browser_ || hasFailed_) return;
        // IPv4 only: the audio is IPv4, and one entry per interface is wanted.
        browser_.reset(avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, type_.c_str(),
                                                 domain_.c_str(), AvahiLookupFlags(0), &AvahiBrowser::browseCallback,
                                                 this));
        if (!browser_) {
            fail(avahi_client_errno(client));
            return;
        }
        // After a reconnect the old results stay shown until the new browser has
        // reported what is there now, so the list does not flicker.
        isResyncing_ = hasDelivered_;
        pending_.clear();
        deliverState({DnsSdBrowserState::Kind::ready, std::nullopt});
    }

    void clientRegistering() override {}

    void ownNamesChanged() override {
        if (!isCancelled_ && !isResyncing_) publish();
    }

    void clientLost(const DnsSdError& error) override {
        if (isCancelled_) return;
        stopResolving();
        browser_.reset();
        isBrowserDead_ = false;
        isResyncing_ = false;
        if (!hasFailed_) deliverWaiting(error);
    }

private:
    struct Entry {
        AvahiIfIndex interface;
        DnsSdServiceEndpoint endpoint;
        // Finds its address once; gone when it answered or failed.
        AvahiServiceResolverPtr resolver{};
        bool sameService(const Entry& o) const {
            return interface == o.interface && endpoint.name == o.endpoint.name &&
                   endpoint.type == o.endpoint.type && endpoint.domain == o.endpoint.domain;
        }
    };

    static std::string interfaceName(AvahiIfIndex index) {
        char name[IF_NAMESIZE] = {};
        if (index >= 0 && if_indextoname(unsigned(index), name)) return name;
        return std::to_string(index);
    }

    static void browseCallback(AvahiServiceBrowser* browser, AvahiIfIndex interface, AvahiProtocol,
                               AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
                               AvahiLookupResultFlags, void* userdata) {
        auto* self = static_cast<AvahiBrowser*>(userdata);
        if (self->isCancelled_ || browser != self->browser_.get() || self->isBrowserDead_) return;
        switch (event) {
        case AVAHI_BROWSER_NEW:
        case AVAHI_BROWSER_REMOVE: {
            Entry entry{interface, DnsSdServiceEndpoint{name ? name : "", type ? type : "", domain ? domain : "",
                                                        interfaceName(interface)}};
            auto& entries = self->isResyncing_ ? self->pending_ : self->entries_;
            auto it = std::find_if(entries.begin(), entries.end(), [&](const Entry& e) { return e.sameService(entry); });
            if (event == AVAHI_BROWSER_NEW) {
                if (it != entries.end()) return;
                entry.resolver.reset(avahi_service_resolver_new(
                    avahi_service_browser_get_client(browser), interface, AVAHI_PROTO_INET, name, type, domain,
                    AVAHI_PROTO_INET, AvahiLookupFlags(0), &AvahiBrowser::resolveCallback, self));
                entries.push_back(std::move(entry));
            } else {
                if (it == entries.end()) return;
                entries.erase(it);
            }
            if (!self->isResyncing_) self->publish();
            break;
        }
        case AVAHI_BROWSER_ALL_FOR_NOW:
            if (self->isResyncing_) {
                self->isResyncing_ = false;
                self->entries_ = std::move(self->pending_);
                self->pending_.clear();
                self->publish();
            }
            break;
        case AVAHI_BROWSER_CACHE_EXHAUSTED: break;
        case AVAHI_BROWSER_FAILURE:
            // Kept until the client goes or the browser is cancelled: freeing it
            // inside its own callback is not safe.
            self->isBrowserDead_ = true;
            self->fail(avahi_client_errno(avahi_service_browser_get_client(browser)));
            break;
        }
    }

    // A peer's address, for talking to it alone before its packets tell it.
    static void resolveCallback(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
                                const char*, const char*, const char*, const char*, const AvahiAddress* address,
                                uint16_t, AvahiStringList*, AvahiLookupResultFlags, void* userdata) {
        auto* self = static_cast<AvahiBrowser*>(userdata);
        for (auto* entries : {&self->entries_, &self->pending_}) {
            auto it = std::find_if(entries->begin(), entries->end(),
                                   [resolver](const Entry& e) { return e.resolver.get() == resolver; });
            if (it == entries->end()) continue;
            if (event == AVAHI_RESOLVER_FOUND && address) {
                char text[AVAHI_ADDRESS_STR_MAX] = {};
                avahi_address_snprint(text, sizeof text, address);
                it->endpoint.address = text;
            }
            it->resolver.reset();  // Avahi lets a resolver go inside its own callback
            if (!self->isCancelled_ && !self->isResyncing_ && entries == &self->entries_) self->publish();
            return;
        }
    }

    void stopResolving() {
        for (auto* entries : {&entries_, &pending_})
            for (auto& entry : *entries) entry.resolver.reset();
    }

    void fail(int avahiError) {
        DnsSdError error = dnsSdErrorFromAvahi(avahiError);
        if (error.code == DnsSdErrorCode::policyDenied) {
            deliverWaiting(error);  // may be granted later
            return;
        }
        hasFailed_ = true;
        deliverState({DnsSdBrowserState::Kind::failed, std::move(error)});
    }

    void deliverWaiting(const DnsSdError& error) { deliverState({DnsSdBrowserState::Kind::waiting, error}); }

    // Handlers are called from a task of their own, never from inside Avahi, so
    // they may cancel or release the browser.
    void deliverState(DnsSdBrowserState state) {
        if (lastState_ == state) return;  // e.g. waiting, reported by start() and by the client alike
        lastState_ = state;
        asio::post(executor_.context(), [weak = weak_from_this(), state = std::move(state)] {
            auto self = weak.lock();
            if (self && !self->isCancelled_ && self->onState) self->onState(state);
        });
    }

    // Hands over the services found, less our own advertisement (under whatever
    // name a collision gave it), when that set has changed.
    void publish() {
        std::vector<DnsSdBrowseResult> results;
        for (const auto& entry : entries_)
            if (!session_->isOwnName(entry.endpoint.name)) results.push_back(DnsSdBrowseResult{entry.endpoint});
        if (hasDelivered_ && results == delivered_) return;
        hasDelivered_ = true;
        delivered_ = results;
        asio::post(executor_.context(), [weak = weak_from_this(), results = std::move(results)] {
            auto self = weak.lock();
            if (self && !self->isCancelled_ && self->onResultsChanged) self->onResultsChanged(results);
        });
    }

    void shutdown() {
        if (isCancelled_) return;
        isCancelled_ = true;
        session_->remove(this);
        stopResolving();
        browser_.reset();
    }

    AsioExecutor& executor_;
    std::shared_ptr<AvahiSession> session_;
    std::string type_;
    std::string domain_;
    AvahiServiceBrowserPtr browser_;
    std::vector<Entry> entries_;  // what was last delivered, in the order found
    std::vector<Entry> pending_;  // being gathered after a reconnect
    std::vector<DnsSdBrowseResult> delivered_;
    std::optional<DnsSdBrowserState> lastState_;
    bool isStarted_ = false;
    bool isCancelled_ = false;
    bool isResyncing_ = false;
    bool hasDelivered_ = false;
    bool hasFailed_ = false;
    bool isBrowserDead_ = false;
};

class AvahiDnsSdPlatform final : public DnsSdPlatform {
public:
    explicit AvahiDnsSdPlatform(std::shared_ptr<AsioExecutor> queue)
        : queue_(std::move(queue)), executor_(*queue_), session_(makeOnExecutor<AvahiSession>(executor_)) {}

    std::shared_ptr<Executor> queue() const override { return queue_; }

    std::shared_ptr<DnsSdListener> makeListener() override {
        return makeOnExecutor<AvahiListener>(executor_, session_);
    }

    std::shared_ptr<DnsSdBrowser> makeBrowser(const std::string& type, const std::string& domain) override {
        return makeOnExecutor<AvahiBrowser>(executor_, session_, type, domain);
    }

private:
    std::shared_ptr<AsioExecutor> queue_;
    AsioExecutor& executor_;
    std::shared_ptr<AvahiSession> session_;
};

} // namespace

std::shared_ptr<DnsSdPlatform> makeAvahiDnsSdPlatform(std::shared_ptr<AsioExecutor> queue) {
    return std::make_shared<AvahiDnsSdPlatform>(std::move(queue));
}

} // namespace hh
