#pragma once

#include "core/exec/Executor.h"
#include "core/wire/WalkiePacket.h"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace hh::cli {

// Writes each talk spurt heard on the group to a 16 kHz mono 16-bit WAV file: a
// spurt runs from a talk start (or the first audio) to the sender's talk end,
// or until the sender has been silent for longer than the talker time-out.
// Everything runs on one executor.
class Recorder {
public:
    struct Recording {
        std::string file;
        std::string name;  // empty when the sender never announced one
        std::size_t frames = 0;
    };

    Recorder(std::filesystem::path directory, Uuid ownID, Executor& executor);
    ~Recorder();

    std::function<void(const Recording&)> onRecorded;

    void handlePacket(const WalkiePacket& packet);
    // Closes spurts whose sender has been silent too long; call regularly.
    void checkTimeouts();
    // Closes every open spurt.
    void finish();

private:
    struct Spurt {
        std::string name;
        Bytes samples;
        std::size_t frames = 0;
        Executor::TimePoint lastActivity;
    };
    void close(const Uuid& sender);

    std::filesystem::path directory_;
    Uuid ownID_;
    Executor& executor_;
    std::map<Uuid, std::string> names_;
    std::map<Uuid, Spurt> open_;
    int counter_ = 0;
};

// Writes 16 kHz mono 16-bit little-endian samples as a WAV file; throws on failure.
void writeWav(const std::filesystem::path& file, const Bytes& pcm16le);

} // namespace hh::cli
