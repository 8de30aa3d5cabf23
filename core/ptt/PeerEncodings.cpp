#include "core/ptt/PeerEncodings.h"

#include "core/net/Peer.h"

#include <algorithm>

namespace hh {

PeerEncodings::Sender& PeerEncodings::remember(const Uuid& sender, Executor::TimePoint now,
                                               std::optional<std::string> name) {
    auto found = senders_.find(sender);
    if (found == senders_.end()) {
        // Anyone may send under ever new IDs: the one heard longest ago goes.
        if (senders_.size() >= maximumSenders) {
            senders_.erase(std::min_element(senders_.begin(), senders_.end(), [](const auto& a, const auto& b) {
                return a.second.lastHeard < b.second.lastHeard;
            }));
        }
        found = senders_.emplace(sender, Sender{}).first;
    }
    auto& entry = found->second;
    entry.lastHeard = now;
    if (name && !name->empty() && *name != entry.name) {
        entry.name = std::move(*name);
        entry.canonical.reset();
        entry.wasListed = isListed(entry);
    }
    return entry;
}

const std::string& PeerEncodings::canonicalOf(const Sender& sender) {
    if (!sender.canonical) sender.canonical = canonicalName(sender.name);
    return *sender.canonical;
}

void PeerEncodings::heard(const Uuid& sender, Executor::TimePoint now, std::optional<std::string> name) {
    remember(sender, now, std::move(name));
}

bool PeerEncodings::announced(const Uuid& sender, bool decodesOpus, Executor::TimePoint now, std::optional<std::string> name) {
    const bool isNew = !senders_.count(sender);
    auto& entry = remember(sender, now, std::move(name));
    const bool isFirst = isNew || !entry.decodesOpus;
    entry.decodesOpus = decodesOpus;
    return isFirst;
}

bool PeerEncodings::isListed(const Sender& sender) const {
    if (!listed_ || listed_->empty() || sender.name.empty()) return false;
    return std::any_of(listed_->begin(), listed_->end(),
                       [&](const std::string& service) { return isServiceOfSender(service, canonicalOf(sender)); });
}

void PeerEncodings::setListed(std::optional<std::vector<std::string>> canonicalNames) {
    listed_ = std::move(canonicalNames);
    for (auto it = senders_.begin(); it != senders_.end();) {
        auto& sender = it->second;
        const bool isNowListed = isListed(sender);
        // Withdrawn from DNS-SD: it has left, whatever its last beacon says.
        if (listed_ && sender.wasListed && !isNowListed) {
            it = senders_.erase(it);
            continue;
        }
        sender.wasListed = listed_ && isNowListed;
        ++it;
    }
}

PeerEncodings::Verdict PeerEncodings::judge(Executor::TimePoint now) const {
    const auto isRecent = [&](const Sender& s) { return now - s.lastHeard <= seconds(forgetAfter); };
    Verdict verdict;
    auto& out = verdict.withoutOpus;
    // Every listed peer, by the most recently heard sender of its name.
    if (listed_) {
        for (const auto& service : *listed_) {
            const Sender* latest = nullptr;
            for (const auto& [id, sender] : senders_)
                if (isRecent(sender) && !sender.name.empty() && isServiceOfSender(service, canonicalOf(sender)) &&
                    (!latest || latest->lastHeard < sender.lastHeard))
                    latest = &sender;
            ++verdict.known;
            if (!latest || !latest->decodesOpus) out.push_back(service);
        }
    }
    // Every sender heard that DNS-SD does not list (no daemon there, or none here).
    for (const auto& [id, sender] : senders_) {
        if (!isRecent(sender) || isListed(sender)) continue;
        ++verdict.known;
        if (!sender.decodesOpus) out.push_back(sender.name);
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return verdict;
}

AudioEncoding spurtEncoding(CodecChoice choice, const PeerEncodings::Verdict& verdict) {
    if (choice == CodecChoice::pcm || !verdict.withoutOpus.empty()) return AudioEncoding::pcm;
    // Asked for, compressed goes out even before anyone is known.
    if (choice == CodecChoice::automatic && verdict.known == 0) return AudioEncoding::pcm;
    return AudioEncoding::opus;
}

} // namespace hh
