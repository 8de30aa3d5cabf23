#pragma once

// The DNS-SD services the program needs from the platform: a listener that
// advertises a service on a TCP port of its own, and a browser that reports the
// services of one type. Handlers run on the serial executor the platform was made
// for; after cancel() no handler is called again.

#include "core/exec/Executor.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hh {

// DNS-SD error codes, as the other desktops' DNS-SD libraries number them.
namespace DnsSdErrorCode {
constexpr std::int32_t unknown = -65537;
constexpr std::int32_t noMemory = -65539;
constexpr std::int32_t badParam = -65540;
constexpr std::int32_t badState = -65542;
constexpr std::int32_t nameConflict = -65548;
constexpr std::int32_t serviceNotRunning = -65563;
constexpr std::int32_t timeout = -65568;
constexpr std::int32_t policyDenied = -65570;
} // namespace DnsSdErrorCode

struct DnsSdError {
    std::int32_t code = DnsSdErrorCode::unknown;
    std::string description;

    bool operator==(const DnsSdError&) const = default;
};

// The browser's state as it reports it.
struct DnsSdBrowserState {
    enum class Kind { setup, ready, waiting, failed, cancelled };
    Kind kind = Kind::setup;
    std::optional<DnsSdError> error;  // with waiting and failed

    bool operator==(const DnsSdBrowserState&) const = default;
};

// A found service: name, type, domain and the interface it was seen on, and
// once resolved, its host's IPv4 address (dotted; empty until then).
struct DnsSdServiceEndpoint {
    std::string name;
    std::string type;
    std::string domain;
    std::string interfaceName;
    std::string address{};

    bool operator==(const DnsSdServiceEndpoint&) const = default;
};

// One browse result. Its endpoint is a service endpoint, or (absent) some other
// kind of endpoint that carries no service name.
struct DnsSdBrowseResult {
    std::optional<DnsSdServiceEndpoint> serviceEndpoint;

    bool operator==(const DnsSdBrowseResult&) const = default;
};

// An incoming connection to the listener's port.
class DnsSdConnection {
public:
    virtual ~DnsSdConnection() = default;
    virtual void cancel() = 0;
};

// A TCP listener on a port the system chose, with local address reuse, that
// advertises `service` while it runs.
class DnsSdListener {
public:
    // Advertised in the platform's default domain, with no TXT record.
    struct Service {
        std::string name;
        std::string type;
    };

    virtual ~DnsSdListener() = default;

    // Set before start().
    std::optional<Service> service;
    std::function<void(std::shared_ptr<DnsSdConnection>)> onNewConnection;

    virtual void start() = 0;
    virtual void cancel() = 0;
};

// Browses for one service type in one domain and reports the complete set of
// services found whenever it changes.
class DnsSdBrowser {
public:
    virtual ~DnsSdBrowser() = default;

    // Set before start().
    std::function<void(std::vector<DnsSdBrowseResult>)> onResultsChanged;
    std::function<void(DnsSdBrowserState)> onState;

    virtual void start() = 0;
    virtual void cancel() = 0;
};

class DnsSdPlatform {
public:
    virtual ~DnsSdPlatform() = default;
    // The executor this platform was made for; discovery keeps its state there too.
    virtual std::shared_ptr<Executor> queue() const = 0;

    // A TCP listener on any port, local endpoint reuse on. Throws when no socket
    // can be had.
    virtual std::shared_ptr<DnsSdListener> makeListener() = 0;
    // A browser for `type` (e.g. "_hollerhopper._tcp") in `domain` ("local.").
    virtual std::shared_ptr<DnsSdBrowser> makeBrowser(const std::string& type, const std::string& domain) = 0;
};

} // namespace hh
