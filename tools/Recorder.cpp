#include "tools/Recorder.h"

#include "tools/Cli.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace hh::cli {

Recorder::Recorder(std::optional<std::filesystem::path> directory, Uuid ownID, Executor& executor, NameLookup nameOf)
    : directory_(std::move(directory)), ownID_(ownID), executor_(executor), nameOf_(std::move(nameOf)),
      timeout_(executor, [this] { checkTimeouts(); }) {}

Recorder::~Recorder() = default;

void Recorder::handlePacket(const WalkiePacket& packet, const DatagramOrigin& origin) {
    if (packet.senderID == ownID_) return;
    const auto sender = packet.senderID;
    switch (packet.type) {
    case PacketType::hello: return;
    case PacketType::talkStart:
        if (open_.count(sender)) close(sender, std::nullopt);  // a new spurt begins
        if (auto* spurt = open(sender, true)) spurt->isDirect = origin.isDirect;
        return;
    case PacketType::audio:
        if (auto* spurt = open(sender, false)) {
            spurt->isDirect = spurt->isDirect || origin.isDirect;
            placeFrame(sender, *spurt, packet.frameIndex, packet.payload);
        }
        return;
    case PacketType::opus:
        // Written from its decoded frames, which follow as audio packets;
        // without a file only its place in the spurt counts.
        if (auto* spurt = open(sender, false)) {
            spurt->encoding = AudioEncoding::opus;
            spurt->isDirect = spurt->isDirect || origin.isDirect;
            if (!directory_) placeFrame(sender, *spurt, packet.frameIndex, {});
        }
        return;
    case PacketType::talkEnd:
        if (open_.count(sender)) close(sender, packet.frameIndex);
        return;
    case PacketType::encodings: return;
    }
}

Recorder::Spurt* Recorder::open(const Uuid& sender, bool hasTalkStart) {
    auto found = open_.find(sender);
    if (found == open_.end()) {
        if (open_.size() >= maximumSpurts) return nullptr;  // as many as playback mixes
        found = open_.emplace(sender, Spurt{}).first;
        found->second.hasTalkStart = hasTalkStart;
        // Set for the earliest spurt; it moves on to the next when due.
        if (!timeout_.isPending()) timeout_.runAt(executor_.now() + seconds(WalkieConfig::talkerTimeout) + std::chrono::milliseconds(1));
    }
    found->second.lastActivity = executor_.now();
    return &found->second;
}

void Recorder::placeFrame(const Uuid& sender, Spurt& spurt, std::uint32_t frameIndex, const Bytes& payload) {
    const auto at = std::int64_t(frameIndex);
    if (!spurt.isStarted) {
        spurt.next = spurt.hasTalkStart && at < PlayoutMixer::queueFrames ? 0 : at;
        spurt.isStarted = true;
    }
    if (at < spurt.next) {
        ++spurt.figures.late;
        return;
    }
    if (at - spurt.next >= PlayoutMixer::queueFrames) {
        // A jump: what waits is written, the distance is not counted as lost.
        if (!spurt.pending.empty()) commit(sender, spurt, spurt.pending.rbegin()->first + 1);
        spurt.next = at;
    }
    if (!spurt.pending.emplace(at, Bytes(payload.begin(), payload.begin() + std::ptrdiff_t(payload.size() & ~std::size_t(1)))).second)
        return;  // a duplicate
    ++spurt.figures.received;
    // Frames 60 ms older than the newest take their turn, as in playback.
    commit(sender, spurt, spurt.pending.rbegin()->first - reorderFrames + 1);
}

void Recorder::commit(const Uuid& sender, Spurt& spurt, std::int64_t until) {
    while (spurt.next < until) {
        auto first = spurt.pending.begin();
        if (first != spurt.pending.end() && first->first == spurt.next) {
            writeFrame(sender, spurt, first->second);
            spurt.pending.erase(first);
        } else {
            ++spurt.figures.concealed;
        }
        ++spurt.next;
    }
}

void Recorder::writeFrame(const Uuid& sender, Spurt& spurt, const Bytes& frame) {
    ++spurt.frames;
    if (!directory_ || hasFailed_) return;
    if (!spurt.file) {
        spurt.held.push_back(frame);
        if (!isKept(spurt) || !openFile(sender, spurt)) return;
    }
    auto frames = std::move(spurt.held);
    spurt.held.clear();
    if (frames.empty()) frames.push_back(frame);
    std::vector<short> samples;
    for (const auto& f : frames)
        for (std::size_t i = 0; i + 1 < f.size(); i += 2) samples.push_back(short(std::uint16_t(f[i] | f[i + 1] << 8)));
    const auto written = sf_write_short(spurt.file.get(), samples.data(), sf_count_t(samples.size()));
    if (written != sf_count_t(samples.size()))
        fail("cannot write " + spurt.path.string() + ": " + sf_strerror(spurt.file.get()));
}

std::string Recorder::fileNamePart(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        const std::size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
        if (out.size() + length > 63 || i + length > name.size()) break;
        if (c == '/' || c < 0x20 || c == 0x7F) out += '_';
        else if (!(c == '.' && out.empty())) out.append(name.substr(i, length));
        i += length;
    }
    return out.empty() ? "Someone" : out;
}

bool Recorder::openFile(const Uuid& sender, Spurt& spurt) {
    std::error_code error;
    std::filesystem::create_directories(*directory_, error);
    const std::time_t began = std::chrono::system_clock::to_time_t(spurt.began);
    std::tm local{};
    localtime_r(&began, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H-%M-%S", &local);
    const std::string stem = std::string(stamp) + " " + fileNamePart(nameOf_ ? nameOf_(sender) : std::string());
    // Created only if new: two spurts in one second, or a file already there,
    // get the next free number instead of overwriting.
    int fd = -1;
    for (int n = 1; fd < 0 && n <= 1000; ++n) {
        spurt.path = *directory_ / (stem + (n == 1 ? "" : " (" + std::to_string(n) + ")") + ".wav");
        fd = ::open(spurt.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) break;
    }
    const std::string openError = fd < 0 ? std::strerror(errno) : "";
    SF_INFO info{};
    info.samplerate = int(WalkieConfig::sampleRate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    if (fd >= 0) spurt.file.reset(sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE));
    if (spurt.file) return true;
    fail("cannot write " + spurt.path.string() + ": " +
         (error ? error.message() : fd < 0 ? openError : std::string(sf_strerror(nullptr))));
    if (fd >= 0) ::unlink(spurt.path.c_str());
    spurt.path.clear();
    return false;
}

void Recorder::close(const Uuid& sender, std::optional<std::uint32_t> frameCount) {
    auto node = open_.extract(sender);
    Spurt& spurt = node.mapped();
    if (!spurt.pending.empty()) commit(sender, spurt, spurt.pending.rbegin()->first + 1);
    // Frames lost at the very end, a bounded few, as playback conceals them.
    if (frameCount && spurt.isStarted)
        spurt.figures.concealed += std::size_t(
            std::clamp<std::int64_t>(std::int64_t(*frameCount) - spurt.next, 0, PlayoutMixer::maximumTailConcealment));
    if (!isKept(spurt)) return;  // stray audio
    // A spurt without audio still gets its (empty) file.
    if (spurt.frames == 0 && directory_ && !hasFailed_) openFile(sender, spurt);
    if (spurt.file && sf_close(spurt.file.release()) != 0) fail("cannot finish " + spurt.path.string());
    Recording recording;
    recording.name = nameOf_ ? nameOf_(sender) : std::string();
    recording.isDirect = spurt.isDirect;
    recording.file = spurt.path.string();
    recording.sender = sender;
    recording.frames = spurt.frames;
    recording.figures = spurt.figures;
    recording.encoding = spurt.encoding;
    if (onRecorded) onRecorded(recording);
}

void Recorder::checkTimeouts() {
    const auto now = executor_.now();
    const auto timeout = seconds(WalkieConfig::talkerTimeout);
    const auto due = timeout + std::chrono::milliseconds(1);  // more than the time-out
    std::vector<Uuid> silent;
    std::optional<Executor::TimePoint> next;
    for (const auto& [sender, spurt] : open_) {
        if (now - spurt.lastActivity > timeout) silent.push_back(sender);
        else if (!next || spurt.lastActivity + due < *next) next = spurt.lastActivity + due;
    }
    for (const auto& sender : silent) close(sender, std::nullopt);
    if (next) timeout_.runAt(*next);
}

void Recorder::finish() {
    while (!open_.empty()) close(open_.begin()->first, std::nullopt);
}

void Recorder::fail(const std::string& message) {
    if (hasFailed_) return;
    hasFailed_ = true;
    // Every open file ends here as a valid WAV of what it holds.
    for (auto& [sender, spurt] : open_) {
        spurt.held.clear();
        if (spurt.file) sf_close(spurt.file.release());
    }
    if (onError) onError(message);
}

} // namespace hh::cli
