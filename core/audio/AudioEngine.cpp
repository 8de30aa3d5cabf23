#include "core/audio/AudioEngine.h"

#include "core/wire/WalkieConfig.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <vector>

namespace hh {

namespace {

constexpr std::size_t frameBytes = std::size_t(WalkieConfig::framePayloadBytes);
// Frames per microphone buffer asked of the device.
constexpr std::uint32_t preferredCaptureFrames = 1024;

} // namespace

// The open/close policy around the render callback. `quietSamples` belongs
// to the output thread; `isIdle` says the output was told to stop pulling and
// needs a resume() for new audio.
struct AudioEngine::Playback {
    Playback(std::shared_ptr<PlayoutMixer> mixer, std::shared_ptr<CuePlayer> cues)
        : mixer(std::move(mixer)), cues(std::move(cues)) {}

    bool render(std::span<float> out) {
        const bool isHeard = mixer->render(out);
        if (cues->mixInto(out) || isHeard) {
            quietSamples = 0;
            return true;
        }
        quietSamples += std::int64_t(out.size());
        if (quietSamples < std::int64_t(quietSeconds * WalkieConfig::sampleRate)) return true;
        quietSamples = 0;
        isIdle.store(true);
        // Audio or a cue that came just before the flag went up saw no idle
        // output: keep pulling for it, unless its waker already claimed the resume.
        if ((mixer->queuedSamples() > 0 || cues->isPlaying()) && isIdle.exchange(false)) return true;
        return false;
    }

    std::shared_ptr<PlayoutMixer> mixer;
    std::shared_ptr<CuePlayer> cues;
    std::int64_t quietSamples = 0;
    std::atomic<bool> isIdle{true};
};

// What the capture thread works on. Owned by the engine while capturing; the
// delivery callback holds it weakly.
struct AudioEngine::CaptureSession {
    std::unique_ptr<AudioConverter> converter;
    std::shared_ptr<CaptureProcessor> processor;
    Bytes accumulator;
    std::function<void(const Bytes&)> frameHandler;
    std::function<Clock::time_point()> now;
    // Frames that may go out now: refilled at the real-time rate, capped at
    // the burst allowance, so a capture that delivers too fast is cut to real time.
    double allowance = burstFrames;
    std::optional<Clock::time_point> lastRefill;

    bool takeAllowance() {
        const auto t = now();
        if (lastRefill) {
            const double elapsed = std::chrono::duration<double>(t - *lastRefill).count();
            allowance = std::min<double>(burstFrames, allowance + std::max(0.0, elapsed) / WalkieConfig::frameDuration);
        }
        lastRefill = t;
        if (allowance < 1) return false;
        allowance -= 1;
        return true;
    }

    void convertAndFrame(const AudioInputBuffer& buffer) {
        if (!converter || buffer.format.sampleRate <= 0 || buffer.frameCount == 0) return;
        const double ratio = WalkieConfig::sampleRate / buffer.format.sampleRate;
        const double wanted = std::floor(double(buffer.frameCount) * ratio) + 32;
        if (wanted > double(std::numeric_limits<std::uint32_t>::max())) return;
        std::vector<std::int16_t> out(static_cast<std::size_t>(wanted));
        const auto produced = converter->convert(buffer, out);
        if (!produced || *produced == 0) return;
        const auto n = std::min(*produced, out.size());
        accumulator.reserve(accumulator.size() + n * 2);
        for (std::size_t i = 0; i < n; ++i) {
            const auto v = static_cast<std::uint16_t>(out[i]);
            accumulator.push_back(std::uint8_t(v & 0xFF));
            accumulator.push_back(std::uint8_t(v >> 8));
        }
        std::size_t consumed = 0;
        while (accumulator.size() - consumed >= frameBytes) {
            Bytes frame(accumulator.begin() + std::ptrdiff_t(consumed),
                        accumulator.begin() + std::ptrdiff_t(consumed + frameBytes));
            // Only frames that go out are processed: the suppressor then costs
            // no more than real time, however fast the device delivers.
            if (frameHandler && takeAllowance()) {
                processor->processBytes(frame);
                frameHandler(frame);
            }
            consumed += frameBytes;
        }
        accumulator.erase(accumulator.begin(), accumulator.begin() + std::ptrdiff_t(consumed));
    }
};

AudioEngine::AudioEngine(std::unique_ptr<AudioPlatform> platform, std::function<Clock::time_point()> now)
    : platform(std::move(platform)),
      now(std::move(now)),
      mixer_(std::make_shared<PlayoutMixer>(this->now)),
      cues(std::make_shared<CuePlayer>()),
      playback(std::make_shared<Playback>(mixer_, cues)),
      processor(std::make_shared<CaptureProcessor>()) {
    render = [playback = playback](std::span<float> out) { return playback->render(out); };
}

AudioEngine::~AudioEngine() {
    platform->input().stop();
    platform->output().stop();
}

void AudioEngine::start() {
    platform->setHealthHandler(onHealthChanged);
    playback->isIdle.store(true);
    platform->output().start(render);
}

void AudioEngine::stop() {
    stopCapture();
    platform->output().stop();
    mixer_->reset();
    cues->stop();
    unnamedFrameIndex_ = 0;
    playback->isIdle.store(true);
}

void AudioEngine::wakeOutput() {
    if (playback->isIdle.exchange(false)) platform->output().resume();
}

void AudioEngine::playCue(Cue cue) {
    cues->play(cue);
    wakeOutput();
}

void AudioEngine::beginSpurt(const Uuid& talker) { mixer_->beginSpurt(talker); }

bool AudioEngine::enqueue(const Uuid& talker, std::uint32_t frameIndex, std::span<const std::uint8_t> pcm16le) {
    const bool isPlaced = mixer_->write(talker, frameIndex, pcm16le);
    if (isPlaced) wakeOutput();
    return isPlaced;
}

bool AudioEngine::enqueueCompressed(const Uuid& talker, std::uint32_t frameIndex, std::span<const std::uint8_t> packet) {
    const bool isPlaced = mixer_->writeCompressed(talker, frameIndex, packet);
    if (isPlaced) wakeOutput();
    return isPlaced;
}

void AudioEngine::endSpurt(const Uuid& talker, std::optional<std::uint32_t> frameCount) {
    mixer_->endSpurt(talker, frameCount);
}

void AudioEngine::enqueue(std::span<const std::uint8_t> pcm16le) {
    pcm16le = pcm16le.first(pcm16le.size() & ~std::size_t(1));
    if (pcm16le.empty()) return;
    for (std::size_t at = 0; at < pcm16le.size(); at += frameBytes)
        mixer_->write(Uuid{}, unnamedFrameIndex_++, pcm16le.subspan(at, std::min(frameBytes, pcm16le.size() - at)));
    wakeOutput();
}

void AudioEngine::startCapture() {
    if (isCapturingState) return;
    auto& input = platform->input();
    const auto format = input.nativeFormat();
    if (!(format.sampleRate > 0) || format.channelCount == 0) return;

    auto session = std::make_shared<CaptureSession>();
    session->converter = platform->makeConverter(format);
    session->processor = processor;
    session->frameHandler = captureFrameHandler;
    session->now = now;
    const std::weak_ptr<CaptureSession> weakSession = session;
    const bool started = input.start(preferredCaptureFrames, [weakSession](const AudioInputBuffer& buffer) {
        if (auto s = weakSession.lock()) s->convertAndFrame(buffer);
    });
    if (!started) return;
    capture = std::move(session);
    isCapturingState = true;
}

void AudioEngine::stopCapture() {
    if (!isCapturingState) return;
    // Returns only once no delivery is running, so the session is ours alone.
    platform->input().stop();
    auto session = std::move(capture);
    session->converter.reset();
    if (!session->accumulator.empty()) {
        Bytes last(session->accumulator.begin(),
                   session->accumulator.begin() + std::ptrdiff_t(std::min(session->accumulator.size(), frameBytes)));
        last.resize(frameBytes, 0);
        processor->processBytes(last);
        if (captureFrameHandler) captureFrameHandler(last);
    }
    isCapturingState = false;
}

} // namespace hh
