// The local audio loop for the delay measurement: every captured frame is
// enqueued for playback at once, so a click heard by the microphone comes back
// out of the speaker. Runs for the given number of seconds, then prints the
// average jitter buffer level it saw.
#include "core/audio/AudioEngine.h"
#include "core/audio/linux/LinuxAudioPlatform.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 15;
    hh::AudioEngine engine(hh::makePulseAudioPlatform());
    std::atomic<long> frames{0};
    std::atomic<long> levelSum{0};
    engine.captureFrameHandler = [&](const hh::Bytes& frame) {
        engine.enqueue(frame);
        levelSum += long(engine.mixer().queuedSamples());
        ++frames;
    };
    try {
        engine.start();
    } catch (const hh::AudioError& e) {
        std::fprintf(stderr, "audio error: %s\n", e.what());
        return 1;
    }
    engine.startCapture();
    if (!engine.isCapturing()) {
        std::fprintf(stderr, "no microphone\n");
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    engine.stop();
    if (frames > 0)
        std::printf("jitter buffer after each enqueue: %.1f ms on average (%ld frames)\n",
                    double(levelSum) / double(frames) / 16.0, long(frames));
    return 0;
}
