#include "core/channel/Envelope.h"

#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace hh {

namespace {
void writeBigEndian64(std::uint8_t* p, std::uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = std::uint8_t(v);
}
std::uint64_t readBigEndian64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}
} // namespace

std::uint64_t wallClockMicroseconds() {
    using namespace std::chrono;
    return std::uint64_t(duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

PacketSealer::PacketSealer(std::shared_ptr<const ChannelKey> key, WallClock clock)
    : key_(std::move(key)), clock_(std::move(clock)) {
    randombytes_buf(prefix_.data(), prefix_.size());
}

Bytes PacketSealer::seal(std::span<const std::uint8_t> datagram) {
    counter_ = std::max(counter_ + 1, clock_());
    Bytes out(Envelope::headerSize + Envelope::nonceSize + datagram.size() + Envelope::tagSize);
    std::uint8_t* p = out.data();
    p[0] = Envelope::magic;
    p[1] = Envelope::version;
    std::copy(key_->channelTag.begin(), key_->channelTag.end(), p + 2);
    std::copy(key_->keyID.begin(), key_->keyID.end(), p + 6);
    std::uint8_t* nonce = p + Envelope::headerSize;
    std::copy(prefix_.begin(), prefix_.end(), nonce);
    writeBigEndian64(nonce + Envelope::prefixSize, counter_);
    unsigned long long length = 0;
    crypto_aead_xchacha20poly1305_ietf_encrypt(nonce + Envelope::nonceSize, &length, datagram.data(), datagram.size(),
                                               p, Envelope::headerSize, nullptr, nonce, key_->packetKey.data());
    return out;
}

PacketOpener::PacketOpener(std::shared_ptr<const ChannelKey> key, WallClock clock)
    : key_(std::move(key)), clock_(std::move(clock)) {}

PacketOpener::Result PacketOpener::open(std::span<const std::uint8_t> datagram) {
    const auto* p = datagram.data();
    if (datagram.size() < Envelope::headerSize || p[0] != Envelope::magic || p[1] != Envelope::version ||
        !std::equal(key_->channelTag.begin(), key_->channelTag.end(), p + 2))
        return {Verdict::notOurs, {}};
    if (!std::equal(key_->keyID.begin(), key_->keyID.end(), p + 6)) return {Verdict::wrongPassphrase, {}};
    if (datagram.size() < Envelope::overhead || datagram.size() > Envelope::maximumDatagramSize)
        return {Verdict::forged, {}};
    const std::uint8_t* nonce = p + Envelope::headerSize;
    const std::uint8_t* sealed = nonce + Envelope::nonceSize;
    unsigned long long length = 0;
    if (crypto_aead_xchacha20poly1305_ietf_decrypt(plain_.data(), &length, nullptr, sealed,
                                                   datagram.size() - Envelope::headerSize - Envelope::nonceSize, p,
                                                   Envelope::headerSize, nonce, key_->packetKey.data()) != 0)
        return {Verdict::forged, {}};

    const std::uint64_t counter = readBigEndian64(nonce + Envelope::prefixSize);
    const auto first = senders_.begin(), last = senders_.begin() + std::ptrdiff_t(senderCount_);
    auto window = std::find_if(first, last, [&](const SenderWindow& w) {
        return std::equal(w.prefix.begin(), w.prefix.end(), nonce);
    });
    if (window == last) {
        // A sender we have no window for: only a recent packet, or a recording
        // could be played to a receiver that has just started.
        const std::uint64_t now = clock_();
        const std::uint64_t distance = counter > now ? counter - now : now - counter;
        if (distance > freshnessMicroseconds) return {Verdict::stale, {}};
        if (senderCount_ < maximumSenders) {
            ++senderCount_;
        } else {
            window = std::min_element(first, last, [](const SenderWindow& a, const SenderWindow& b) {
                return a.lastHeard < b.lastHeard;
            });
        }
        *window = SenderWindow{};
        std::copy(nonce, nonce + Envelope::prefixSize, window->prefix.begin());
    }
    if (!accept(*window, counter)) return {Verdict::replayed, {}};
    window->lastHeard = ++opened_;
    return {Verdict::opened, std::span<const std::uint8_t>(plain_.data(), std::size_t(length))};
}

bool PacketOpener::accept(SenderWindow& window, std::uint64_t counter) {
    const auto first = window.recent.begin(), last = window.recent.begin() + std::ptrdiff_t(window.count);
    if (std::find(first, last, counter) != last) return false;
    if (window.count < windowSize) {
        window.recent[window.count++] = counter;
        return true;
    }
    // Full: the new counter must be newer than the oldest kept, which it replaces.
    auto oldest = std::min_element(first, last);
    if (counter < *oldest) return false;
    *oldest = counter;
    return true;
}

} // namespace hh
