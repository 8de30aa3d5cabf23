#include "support/FakeDnsSdPlatform.h"

namespace hh {

std::shared_ptr<DnsSdListener> FakeDnsSdPlatform::makeListener() {
    listeners.push_back(std::make_shared<Listener>());
    return listeners.back();
}

std::shared_ptr<DnsSdBrowser> FakeDnsSdPlatform::makeBrowser(const std::string&, const std::string&) {
    browsers.push_back(std::make_shared<Browser>());
    return browsers.back();
}

} // namespace hh
