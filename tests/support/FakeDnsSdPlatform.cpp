#include "support/FakeDnsSdPlatform.h"

namespace hh {

void FakeDnsSdPlatform::Browser::deliverResults(std::vector<DnsSdBrowseResult> results) {
    if (isStarted && !isCancelled && onResultsChanged) onResultsChanged(std::move(results));
}

void FakeDnsSdPlatform::Browser::deliverState(DnsSdBrowserState state) {
    if (isStarted && !isCancelled && onState) onState(std::move(state));
}

std::shared_ptr<DnsSdListener> FakeDnsSdPlatform::makeListener() {
    listeners.push_back(std::make_shared<Listener>());
    return listeners.back();
}

std::shared_ptr<DnsSdBrowser> FakeDnsSdPlatform::makeBrowser(const std::string&, const std::string&) {
    browsers.push_back(std::make_shared<Browser>());
    return browsers.back();
}

std::vector<DnsSdBrowseResult> FakeDnsSdPlatform::results(const std::vector<std::string>& names) {
    std::vector<DnsSdBrowseResult> out;
    for (const auto& name : names)
        out.push_back(DnsSdBrowseResult{DnsSdServiceEndpoint{name, "_hollerhopper._tcp", "local.", "veth0"}});
    return out;
}

} // namespace hh
