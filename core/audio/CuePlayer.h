#pragma once

#include <array>
#include <cstddef>
#include <mutex>
#include <span>
#include <vector>

namespace hh {

// The talk cues heard on this computer's speaker only.
enum class Cue {
    onAir,     // a press is transmitting: talk start sent, microphone running
    released,  // the release tail has ended and the talk end is sent
    incoming,  // someone starts talking into silence
    failed,    // a press that cannot transmit
    incomingDirect,  // someone starts talking to us alone into silence
};

// Short tones made by the program (16 kHz mono floats, no sound files), added
// into the playback output after the received audio, so they never delay it
// and never reach the microphone path. play() from the main thread; mixInto()
// from the real-time output thread under one short lock, without allocating.
class CuePlayer {
public:
    CuePlayer();
    CuePlayer(const CuePlayer&) = delete;
    CuePlayer& operator=(const CuePlayer&) = delete;

    // Starts `cue` from its beginning, cutting off one still sounding.
    void play(Cue cue);
    // Silences a sounding cue.
    void stop();
    // Adds the sounding cue's next samples into `out`, clipping at full scale.
    // Returns whether a cue sounded.
    bool mixInto(std::span<float> out);
    bool isPlaying() const;

    // The samples of `cue`, for tests and benchmarks.
    const std::vector<float>& sound(Cue cue) const { return sounds_[std::size_t(cue)]; }
    static std::vector<float> synthesize(Cue cue);

private:
    std::array<std::vector<float>, 5> sounds_;
    mutable std::mutex mutex_;
    const std::vector<float>* current_ = nullptr;
    std::size_t position_ = 0;
};

} // namespace hh
