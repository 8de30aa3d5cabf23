#include "support/FakeDnsSdPlatform.h"

#include <stdexcept>

namespace hh {

namespace {
// Logs "start listener 1", "cancel browser 2"... and sets the flag.
void note(std::vector<std::string>& log, const char* what, int number, bool& flag) {
    log.push_back(what + std::to_string(number));
    flag = true;
}
} // namespace

void FakeDnsSdPlatform::Listener::start() { note(platform_.log, "start listener ", number, isStarted); }
void FakeDnsSdPlatform::Listener::cancel() { note(platform_.log, "cancel listener ", number, isCancelled); }
void FakeDnsSdPlatform::Browser::start() { note(platform_.log, "start browser ", number, isStarted); }
void FakeDnsSdPlatform::Browser::cancel() { note(platform_.log, "cancel browser ", number, isCancelled); }

std::shared_ptr<FakeDnsSdPlatform::Connection> FakeDnsSdPlatform::Listener::connect() {
    auto connection = std::make_shared<Connection>();
    if (isStarted && !isCancelled && onNewConnection) onNewConnection(connection);
    return connection;
}

void FakeDnsSdPlatform::Browser::deliverResults(std::vector<DnsSdBrowseResult> results) {
    if (isStarted && !isCancelled && onResultsChanged) onResultsChanged(std::move(results));
}

void FakeDnsSdPlatform::Browser::deliverState(DnsSdBrowserState state) {
    if (isStarted && !isCancelled && onState) onState(std::move(state));
}

std::shared_ptr<DnsSdListener> FakeDnsSdPlatform::makeListener() {
    if (isListenerCreationFailing) {
        log.push_back("listener creation failed");
        throw std::runtime_error("no free TCP port");
    }
    auto listener = std::make_shared<Listener>(*this, int(listeners.size()) + 1);
    log.push_back("make listener " + std::to_string(listener->number));
    listeners.push_back(listener);
    return listener;
}

std::shared_ptr<DnsSdBrowser> FakeDnsSdPlatform::makeBrowser(const std::string&, const std::string&) {
    auto browser = std::make_shared<Browser>(*this, int(browsers.size()) + 1);
    log.push_back("make browser " + std::to_string(browser->number));
    browsers.push_back(browser);
    return browser;
}

std::vector<DnsSdBrowseResult> FakeDnsSdPlatform::results(const std::vector<std::string>& names) {
    std::vector<DnsSdBrowseResult> out;
    for (const auto& name : names)
        out.push_back(DnsSdBrowseResult{DnsSdServiceEndpoint{name, "_hollerhopper._tcp", "local.", "veth0"}});
    return out;
}

} // namespace hh
