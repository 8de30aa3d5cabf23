#pragma once

#include "core/exec/Executor.h"
#include "core/wire/AudioEncodings.h"
#include "core/wire/Uuid.h"

#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace hh {

// What the user asked a spurt to be sent as.
enum class CodecChoice {
    automatic,  // compressed while every known peer decodes it, else PCM
    pcm,
    opus,       // compressed, but only when every known peer decodes it
};

// Whether each peer we know of decodes compressed speech, so that a talker
// never sends what one of them cannot play. A peer is known when DNS-SD lists
// it (by name, matched to the senders whose announcements carry that name) or
// when any packet of it arrived (beacon, announcement, talk) within
// `forgetAfter`. A peer is taken to decode compressed speech only when its
// latest announcement says so or it sends compressed speech itself: an
// older build announces nothing and counts as PCM-only. A sender that DNS-SD
// listed and then withdrew has left, even if it was heard a moment ago.
// Fed and read on one executor; knows no clock of its own.
class PeerEncodings {
public:
    static constexpr std::size_t maximumSenders = 256;
    // Three beacons missed: the sender has gone.
    static constexpr double forgetAfter = 15.0;

    // Any packet from another sender, with the name it announced (hello, talk
    // start, encodings; valid UTF-8), if any. Names are compared in canonical
    // form, made only when needed: a flood of named strangers costs no more
    // than a table update each.
    void heard(const Uuid& sender, Executor::TimePoint now, std::optional<std::string> name = {});
    // An encodings packet or compressed audio. Returns whether this is the
    // first announcement of this sender.
    bool announced(const Uuid& sender, bool decodesOpus, Executor::TimePoint now, std::optional<std::string> name = {});
    // The names DNS-SD lists (canonical, ourselves left out), or nothing while
    // no DNS-SD daemon answers here.
    void setListed(std::optional<std::vector<std::string>> canonicalNames);

    struct Verdict {
        std::size_t known = 0;
        // The known peers that cannot decode compressed speech, by name ("" for
        // senders that never said theirs).
        std::vector<std::string> withoutOpus;
        bool operator==(const Verdict&) const = default;
    };
    Verdict judge(Executor::TimePoint now) const;

private:
    struct Sender {
        std::string name;  // as announced
        mutable std::optional<std::string> canonical;
        Executor::TimePoint lastHeard;
        bool decodesOpus = false;
        bool wasListed = false;  // DNS-SD has listed it
    };
    Sender& remember(const Uuid& sender, Executor::TimePoint now, std::optional<std::string> name);
    bool isListed(const Sender& sender) const;
    static const std::string& canonicalOf(const Sender& sender);

    std::unordered_map<Uuid, Sender, UuidHash> senders_;
    std::optional<std::vector<std::string>> listed_;
};

// The encoding of the next spurt: compressed only when asked for (or left to
// choose) and nobody known would be left deaf by it. While nobody is known yet
// (a program just started, a peer that has not said anything) PCM is the safe
// guess: every build plays it, unless compressed speech was asked for.
AudioEncoding spurtEncoding(CodecChoice choice, const PeerEncodings::Verdict& verdict);

} // namespace hh
