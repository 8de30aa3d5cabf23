#pragma once

#include "core/exec/Executor.h"
#include "core/exec/OneShotTimer.h"
#include "core/wire/Uuid.h"
#include "core/wire/WalkiePacket.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>

namespace hh {

// The spurts received lately, kept in memory only (never on disk) so that what
// was said while away or muted can be played again: the last `maximumCount`,
// none older than `maximumAge`, at most `maximumBytes` of audio in all, kept
// as it came (compressed frames stay compressed). A spurt
// counts once it had its talk start or `minimumFrames` frames (stray audio does
// not); one ends with its talk end or its sender's silence. Those received
// while muted are unheard until markAllHeard(). Runs on one executor.
class RecentMessages {
public:
    static constexpr std::size_t maximumCount = 20;
    static constexpr double maximumAge = 600.0;
    static constexpr std::size_t maximumBytes = 20 * 1024 * 1024;
    static constexpr std::size_t minimumFrames = 10;

    // One frame as it came: 16-bit samples, or an Opus packet (SpeechCodec).
    struct Frame {
        Bytes payload;
        bool isCompressed = false;
    };

    struct Message {
        std::uint64_t id = 0;
        Uuid sender;
        std::string name;
        bool isToUs = false;
        bool isUnheard = false;
        Executor::TimePoint start{};
        Executor::TimePoint end{};
        // The frames received, in index order: what plays again.
        std::map<std::uint32_t, Frame> frames;
        std::size_t bytes = 0;
        bool hasTalkStart = false;
    };

    explicit RecentMessages(Executor& executor);

    // After each change of the list (a spurt ended, expired or was heard).
    std::function<void()> onChanged;

    // A packet of another sender's; `name` is what the roster knows it as,
    // `isMuted` whether this computer plays it.
    void packetReceived(const WalkiePacket& packet, bool isDirect, const std::string& name, bool isMuted);
    // Ends the sender's open spurt (its silence outlasted the talker time-out).
    void endSpurt(const Uuid& sender);

    // Oldest first.
    const std::deque<Message>& messages() const { return messages_; }
    const Message* find(std::uint64_t id) const;
    bool hasUnheard() const;
    void markAllHeard();
    // Forgets everything (quitting does as much).
    void clear();

private:
    void close(std::map<Uuid, Message>::iterator open);
    void trim();
    void scheduleExpiry();
    std::size_t totalBytes() const;

    Executor& executor_;
    std::map<Uuid, Message> open_;  // at most one per talker the roster follows
    std::deque<Message> messages_;
    std::uint64_t nextID_ = 1;
    OneShotTimer expiry_;
};

} // namespace hh
