#include "core/ptt/RecentMessages.h"

#include "core/audio/PlayoutMixer.h"

#include <algorithm>

namespace hh {

RecentMessages::RecentMessages(Executor& executor) : executor_(executor), expiry_(executor, [this] { trim(); }) {}

void RecentMessages::packetReceived(const WalkiePacket& packet, bool isDirect, const std::string& name, bool isMuted) {
    const auto sender = packet.senderID;
    auto open = open_.find(sender);
    switch (packet.type) {
    case PacketType::hello:
    case PacketType::encodings: return;
    case PacketType::talkEnd:
        if (open != open_.end()) close(open);
        return;
    case PacketType::talkStart:
        if (open != open_.end()) close(open);  // a new spurt begins
        [[fallthrough]];
    case PacketType::audio:
    case PacketType::opus: break;
    }
    if (open == open_.end() || packet.type == PacketType::talkStart) {
        // As many open as playback mixes: a flood of senders opens no more.
        if (open_.size() >= PlayoutMixer::maximumTalkers) return;
        Message message;
        message.sender = sender;
        message.start = executor_.now();
        message.hasTalkStart = packet.type == PacketType::talkStart;
        open = open_.insert_or_assign(sender, std::move(message)).first;
    }
    auto& message = open->second;
    message.name = name;
    message.isToUs = message.isToUs || isDirect;
    message.isUnheard = message.isUnheard || isMuted;
    message.end = executor_.now();
    const bool isCompressed = packet.type == PacketType::opus;
    if (packet.type != PacketType::audio && !isCompressed) return;
    // Never more than the whole history may hold, whatever one sender sends.
    if (totalBytes() + packet.payload.size() > maximumBytes) return;
    if (message.frames.emplace(packet.frameIndex, Frame{packet.payload, isCompressed}).second)
        message.bytes += packet.payload.size();
}

void RecentMessages::endSpurt(const Uuid& sender) {
    auto open = open_.find(sender);
    if (open != open_.end()) close(open);
}

void RecentMessages::close(std::map<Uuid, Message>::iterator open) {
    auto message = std::move(open->second);
    open_.erase(open);
    if (!message.hasTalkStart && message.frames.size() < minimumFrames) return;  // stray audio
    message.id = nextID_++;
    messages_.push_back(std::move(message));
    trim();
}

std::size_t RecentMessages::totalBytes() const {
    std::size_t total = 0;
    for (const auto& m : messages_) total += m.bytes;
    for (const auto& [id, m] : open_) total += m.bytes;
    return total;
}

void RecentMessages::trim() {
    const auto oldest = executor_.now() - seconds(maximumAge);
    while (!messages_.empty() &&
           (messages_.size() > maximumCount || messages_.front().end < oldest || totalBytes() > maximumBytes))
        messages_.pop_front();
    scheduleExpiry();
    if (onChanged) onChanged();
}

void RecentMessages::scheduleExpiry() {
    if (messages_.empty()) {
        expiry_.cancel();
        return;
    }
    // Never set again while pending: every setting posts a task, and a flood of
    // spurts must not pile them up. The oldest only gets newer, so a run that
    // comes early finds nothing to drop and sets it for the oldest then.
    if (expiry_.isPending()) return;
    expiry_.runAt(messages_.front().end + seconds(maximumAge) + std::chrono::milliseconds(1));
}

const RecentMessages::Message* RecentMessages::find(std::uint64_t id) const {
    auto found = std::find_if(messages_.begin(), messages_.end(), [id](const Message& m) { return m.id == id; });
    return found != messages_.end() ? &*found : nullptr;
}

bool RecentMessages::hasUnheard() const {
    return std::any_of(messages_.begin(), messages_.end(), [](const Message& m) { return m.isUnheard; });
}

void RecentMessages::markAllHeard() {
    if (!hasUnheard()) return;
    for (auto& m : messages_) m.isUnheard = false;
    if (onChanged) onChanged();
}

void RecentMessages::clear() {
    open_.clear();
    messages_.clear();
    expiry_.cancel();
    if (onChanged) onChanged();
}

} // namespace hh
