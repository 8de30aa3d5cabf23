#include "core/wire/Uuid.h"

#include <random>

namespace hh {

Uuid Uuid::random() {
    std::random_device device;
    Uuid u;
    for (std::size_t i = 0; i < u.bytes.size(); i += 4) {
        const std::uint32_t r = device();
        for (std::size_t k = 0; k < 4; ++k) u.bytes[i + k] = std::uint8_t(r >> (8 * k));
    }
    u.bytes[6] = std::uint8_t((u.bytes[6] & 0x0F) | 0x40);  // version 4
    u.bytes[8] = std::uint8_t((u.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    return u;
}

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
} // namespace

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    Uuid u;
    std::size_t byte = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        const int hi = hexValue(text[i]), lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        u.bytes[byte++] = std::uint8_t(hi << 4 | lo);
        i += 2;
    }
    return u;
}

std::string Uuid::toString() const {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    s.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
        s.push_back(digits[bytes[i] >> 4]);
        s.push_back(digits[bytes[i] & 0x0F]);
    }
    return s;
}

std::size_t UuidHash::operator()(const Uuid& u) const noexcept {
    // FNV-1a over the bytes; UUIDs are random, any mixing will do.
    std::uint64_t h = 1469598103934665603ull;
    for (auto b : u.bytes) h = (h ^ b) * 1099511628211ull;
    return std::size_t(h);
}

} // namespace hh
