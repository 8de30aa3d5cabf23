#pragma once

#include "core/audio/PlayoutMixer.h"
#include "core/exec/Executor.h"
#include "core/exec/OneShotTimer.h"
#include "core/wire/AudioEncodings.h"
#include "core/net/NetworkPlatform.h"
#include "core/wire/WalkiePacket.h"

#include <sndfile.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace hh::cli {

// Follows each talk spurt heard on the group: a spurt runs from a talk start
// (or the first audio) to the sender's talk end, or until the sender has been
// silent for longer than the talker time-out. Frames are put in index order
// through a 60 ms window, as playback does; duplicates and frames later than
// that are dropped and counted. With a directory, each spurt is also written
// to a 16 kHz mono 16-bit WAV file of the frames received, as it arrives.
//
// Stray audio is not a spurt: one is kept (reported, written) only once it had
// its talk start or `minimumFrames` frames. At most `maximumSpurts` senders are
// followed at once, so no flood of sender IDs grows memory or files. Names
// come from `nameOf` (the roster's), asked when a spurt ends. A write error ends recording for good: the file
// is closed as a valid WAV of what was written, `onError` says why, and spurts
// are still reported without files.
//
// Everything runs on one executor; destroy it there too.
class Recorder {
public:
    static constexpr std::size_t maximumSpurts = PlayoutMixer::maximumTalkers;
    static constexpr std::size_t minimumFrames = 10;
    static constexpr std::int64_t reorderFrames = WalkieConfig::primeThresholdSamples / WalkieConfig::frameSampleCount;

    struct Recording {
        std::string file;  // empty when not written
        std::string name;  // empty when the sender never announced one
        bool isDirect = false;  // it came to us alone, not to the group
        Uuid sender;
        std::size_t frames = 0;
        SpurtFigures figures;
        AudioEncoding encoding = AudioEncoding::pcm;
    };

    // The sender's announced name, empty when none.
    using NameLookup = std::function<std::string(const Uuid&)>;
    // No directory: spurts are followed and reported, nothing is written.
    Recorder(std::optional<std::filesystem::path> directory, Uuid ownID, Executor& executor, NameLookup nameOf);

    // A talker's name as part of a file name: no path separators, control
    // characters or leading dots, at most 63 bytes of whole UTF-8 characters;
    // "Someone" for no name.
    static std::string fileNamePart(std::string_view name);
    ~Recorder();

    std::function<void(const Recording&)> onRecorded;
    std::function<void(const std::string& message)> onError;

    // With a directory, compressed audio must be followed by its decoded
    // frames (PTTController::setDecodesHeardAudio); without one it is not decoded.
    void handlePacket(const WalkiePacket& packet, const DatagramOrigin& origin);
    bool needsDecodedAudio() const { return directory_.has_value(); }
    // Closes spurts whose sender has been silent too long. Runs on its own
    // while spurts are open.
    void checkTimeouts();
    // Closes every open spurt.
    void finish();
    // Whether a write failed (recording stopped).
    bool hasFailed() const { return hasFailed_; }

private:
    struct FileCloser {
        void operator()(SNDFILE* f) const { sf_close(f); }
    };
    struct Spurt {
        bool hasTalkStart = false;
        bool isDirect = false;
        bool isStarted = false;         // `next` is set
        std::int64_t next = 0;          // the frame index written next
        std::map<std::int64_t, Bytes> pending;  // received, waiting for their turn
        std::vector<Bytes> held;        // written frames kept until the spurt counts
        std::unique_ptr<SNDFILE, FileCloser> file;
        std::filesystem::path path;
        std::size_t frames = 0;
        SpurtFigures figures;
        // Compressed once any of its audio came compressed.
        AudioEncoding encoding = AudioEncoding::pcm;
        Executor::TimePoint lastActivity;
        std::chrono::system_clock::time_point began = std::chrono::system_clock::now();
    };

    Spurt* open(const Uuid& sender, bool hasTalkStart);
    void placeFrame(const Uuid& sender, Spurt& spurt, std::uint32_t frameIndex, const Bytes& payload);
    void commit(const Uuid& sender, Spurt& spurt, std::int64_t until);
    void writeFrame(const Uuid& sender, Spurt& spurt, const Bytes& frame);
    bool openFile(const Uuid& sender, Spurt& spurt);
    bool isKept(const Spurt& spurt) const { return spurt.hasTalkStart || spurt.frames >= minimumFrames; }
    void close(const Uuid& sender, std::optional<std::uint32_t> frameCount);
    void fail(const std::string& message);

    std::optional<std::filesystem::path> directory_;
    Uuid ownID_;
    Executor& executor_;
    NameLookup nameOf_;
    std::map<Uuid, Spurt> open_;
    bool hasFailed_ = false;
    OneShotTimer timeout_;
};

} // namespace hh::cli
