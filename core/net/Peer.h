#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace hh {

// One other instance as the program shows it: a row of the list.
struct Peer {
    // Whether its packets reach this computer.
    enum class Reach {
        heard,          // heard recently, or too early to tell
        notHeard,       // listed, but none of its packets arrive here
        notResponding,  // silent for so long that it is probably gone
    };
    // Whether it is talking, and to whom.
    enum class Talking { no, toEveryone, toUs };

    // Identifies the row: its name, as every row has a name of its own.
    std::string id;
    std::string name;
    Reach reach = Reach::heard;
    // Listed only because its beacons arrive (DNS-SD does not list it here).
    bool isBeaconOnly = false;
    // Its IPv4 address (dotted), from its packets or DNS-SD; empty when unknown.
    std::string address{};
    Talking talking = Talking::no;

    bool operator==(const Peer&) const = default;
};

// Display names: the one rule for what may be a name, the one comparison.

// A DNS-SD instance name is at most 63 bytes of UTF-8.
inline constexpr std::size_t maximumNameBytes = 63;
// 1 to 63 bytes of UTF-8, not only spaces, and on one line.
bool isUsableName(std::string_view name);
// The form names are compared in: Unicode NFC, so "é" typed precomposed or as
// e + combining accent is the same name. Letter case counts.
std::string canonicalName(std::string_view name);
// Whether the DNS-SD instance `serviceName` belongs to the sender announcing
// `senderName` (both canonical): the same, or DNS-SD's rename of it ("Kitchen #2").
bool isServiceOfSender(std::string_view serviceName, std::string_view senderName);
// Orders names as people count: "Desk 2" before "Desk 10".
class NameOrder {
public:
    NameOrder();
    ~NameOrder();
    NameOrder(const NameOrder&) = delete;
    NameOrder& operator=(const NameOrder&) = delete;
    bool operator()(std::string_view a, std::string_view b) const;

private:
    struct Collator;
    std::unique_ptr<Collator> collator_;
};

} // namespace hh
