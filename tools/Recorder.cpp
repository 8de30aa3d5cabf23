#include "tools/Recorder.h"

#include "tools/Cli.h"

#include <sndfile.h>

#include <stdexcept>

namespace hh::cli {

Recorder::Recorder(std::filesystem::path directory, Uuid ownID, Executor& executor)
    : directory_(std::move(directory)), ownID_(ownID), executor_(executor) {
    std::filesystem::create_directories(directory_);
}

Recorder::~Recorder() = default;

void Recorder::handlePacket(const WalkiePacket& packet) {
    if (packet.senderID == ownID_) return;
    const auto sender = packet.senderID;
    const std::string_view text(reinterpret_cast<const char*>(packet.payload.data()), packet.payload.size());
    switch (packet.type) {
    case PacketType::hello:
        if (!text.empty() && isValidUtf8(text)) names_[sender] = std::string(text);
        return;
    case PacketType::talkStart: {
        if (!text.empty() && isValidUtf8(text)) names_[sender] = std::string(text);
        if (open_.count(sender)) close(sender);  // a new spurt begins
        auto& spurt = open_[sender];
        spurt.lastActivity = executor_.now();
        return;
    }
    case PacketType::audio: {
        auto& spurt = open_[sender];
        spurt.samples.insert(spurt.samples.end(), packet.payload.begin(),
                             packet.payload.begin() + std::ptrdiff_t(packet.payload.size() & ~std::size_t(1)));
        ++spurt.frames;
        spurt.lastActivity = executor_.now();
        return;
    }
    case PacketType::talkEnd:
        if (open_.count(sender)) close(sender);
        return;
    }
}

void Recorder::checkTimeouts() {
    const auto now = executor_.now();
    std::vector<Uuid> silent;
    for (const auto& [sender, spurt] : open_)
        if (now - spurt.lastActivity > seconds(WalkieConfig::talkerTimeout)) silent.push_back(sender);
    for (const auto& sender : silent) close(sender);
}

void Recorder::finish() {
    while (!open_.empty()) close(open_.begin()->first);
}

void Recorder::close(const Uuid& sender) {
    auto node = open_.extract(sender);
    Spurt& spurt = node.mapped();
    auto found = names_.find(sender);
    Recording recording;
    recording.name = found != names_.end() ? found->second : std::string();
    recording.frames = spurt.frames;
    const auto file = directory_ / ("spurt-" + std::to_string(++counter_) + "-" + sender.toString() + ".wav");
    writeWav(file, spurt.samples);
    recording.file = file.string();
    if (onRecorded) onRecorded(recording);
}

void writeWav(const std::filesystem::path& file, const Bytes& pcm16le) {
    SF_INFO info{};
    info.samplerate = int(WalkieConfig::sampleRate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* out = sf_open(file.c_str(), SFM_WRITE, &info);
    if (!out) throw std::runtime_error("cannot write " + file.string() + ": " + sf_strerror(nullptr));
    std::vector<short> samples(pcm16le.size() / 2);
    for (std::size_t i = 0; i < samples.size(); ++i)
        samples[i] = short(std::uint16_t(pcm16le[2 * i] | pcm16le[2 * i + 1] << 8));
    const auto written = sf_write_short(out, samples.data(), sf_count_t(samples.size()));
    sf_close(out);
    if (written != sf_count_t(samples.size())) throw std::runtime_error("cannot write " + file.string());
}

} // namespace hh::cli
