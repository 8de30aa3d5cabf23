#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace hh {

// A 16-byte UUID in its standard (RFC 4122) byte order.
struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    // A fresh random (version 4) UUID.
    static Uuid random();
    // Parses the 8-4-4-4-12 text form, either case.
    static std::optional<Uuid> parse(std::string_view text);
    // Lowercase 8-4-4-4-12 text.
    std::string toString() const;

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;
};

struct UuidHash {
    std::size_t operator()(const Uuid& u) const noexcept;
};

} // namespace hh
