#include "core/audio/linux/LinuxAudioPlatform.h"
#include "core/audio/linux/SpeexConverter.h"

#include <RtAudio.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <thread>
#include <cmath>
#include <string>

namespace hh {

namespace {

// Output: 16 kHz mono float, pulled 10 ms at a time; the server is asked to
// hold at most three such periods (30 ms), which keeps the mouth-to-ear delay
// low while leaving room for a late wake-up of the output thread.
constexpr unsigned outputPeriodFrames = 160;
constexpr unsigned outputPeriods = 3;
// Input: 10 ms per buffer at the device's rate.
constexpr double inputPeriodSeconds = 0.010;

// One blocking exchange with the sound server: whether it can be reached, and
// the default source's native format. Bounded by a two-second timer so a hung
// server cannot hang the caller.
struct PulseServerProbe {
    std::string error; // empty when the server answered
    AudioFormat defaultSource;
};

PulseServerProbe probePulseServer() {
    struct State {
        bool isTimedOut = false;
        bool isDone = false;
        std::string sourceName;
        AudioFormat format;
    } st;
    PulseServerProbe result;
    pa_mainloop* loop = pa_mainloop_new();
    pa_mainloop_api* api = pa_mainloop_get_api(loop);
    pa_context* context = pa_context_new(api, "Hollerhopper");
    timeval deadline{};
    pa_gettimeofday(&deadline);
    pa_timeval_add(&deadline, 2 * PA_USEC_PER_SEC);
    pa_time_event* timer = api->time_new(
        api, &deadline, [](pa_mainloop_api*, pa_time_event*, const timeval*, void* s) { static_cast<State*>(s)->isTimedOut = true; },
        &st);

    auto wait = [&](auto isFinished) {
        while (!isFinished() && !st.isTimedOut)
            if (pa_mainloop_iterate(loop, 1, nullptr) < 0) return false;
        return isFinished();
    };
    auto fail = [&](const char* what) {
        result.error = st.isTimedOut ? std::string("the sound server does not answer")
                                     : std::string(what) + pa_strerror(pa_context_errno(context));
    };

    if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        fail("cannot connect to the sound server: ");
    } else if (!wait([&] { return !PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) ||
                                  pa_context_get_state(context) == PA_CONTEXT_READY; }) ||
               pa_context_get_state(context) != PA_CONTEXT_READY) {
        fail("cannot connect to the sound server: ");
    } else {
        auto run = [&](pa_operation* op) {
            if (!op) return false;
            const bool ok = wait([&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; });
            pa_operation_unref(op);
            return ok;
        };
        const bool gotServer = run(pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* info, void* s) {
                if (info && info->default_source_name) static_cast<State*>(s)->sourceName = info->default_source_name;
            },
            &st));
        if (!gotServer) {
            fail("the sound server does not answer: ");
        } else if (!st.sourceName.empty()) {
            run(pa_context_get_source_info_by_name(
                context, st.sourceName.c_str(),
                [](pa_context*, const pa_source_info* info, int eol, void* s) {
                    if (eol == 0 && info)
                        static_cast<State*>(s)->format = {double(info->sample_spec.rate), info->sample_spec.channels};
                },
                &st));
            result.defaultSource = st.format;
        }
    }
    api->time_free(timer);
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return result;
}

std::string describe(const char* what, const RtAudioError& e) {
    const auto probe = probePulseServer();
    if (!probe.error.empty()) return probe.error;
    return std::string(what) + e.getMessage();
}

RtAudio::StreamOptions streamOptions(const char* name, unsigned periods) {
    RtAudio::StreamOptions options;
    options.flags = RTAUDIO_MINIMIZE_LATENCY | RTAUDIO_SCHEDULE_REALTIME;
    options.numberOfBuffers = periods;
    options.streamName = name;
    return options;
}

void closeQuietly(RtAudio& rt) {
    try {
        if (rt.isStreamRunning()) rt.abortStream();
        if (rt.isStreamOpen()) rt.closeStream(); // joins the callback thread
    } catch (const RtAudioError&) {
    }
}

class PulseOutput : public AudioOutputStream {
public:
    PulseOutput() : rt(RtAudio::LINUX_PULSE) { rt.showWarnings(false); }
    ~PulseOutput() override { stop(); }

    void start(RenderCallback render) override {
        if (rt.isStreamOpen()) return;
        this->render = std::move(render);
        RtAudio::StreamParameters params;
        params.deviceId = rt.getDefaultOutputDevice();
        params.nChannels = 1;
        auto options = streamOptions("Hollerhopper playback", outputPeriods);
        unsigned frames = outputPeriodFrames;
        try {
            rt.openStream(&params, nullptr, RTAUDIO_FLOAT32, 16000, &frames, &PulseOutput::onRender, this, &options);
            rt.startStream();
        } catch (const RtAudioError& e) {
            closeQuietly(rt);
            throw AudioError(describe("cannot start the audio output: ", e));
        }
    }

    void stop() override { closeQuietly(rt); }

private:
    static int onRender(void* out, void*, unsigned frames, double, RtAudioStreamStatus, void* self) {
        if (out) static_cast<PulseOutput*>(self)->render({static_cast<float*>(out), frames});
        return 0;
    }

    RtAudio rt;
    RenderCallback render;
};

// Capture. Stopping must neither leave a delivery running nor stall the
// caller: RtAudio's abortStream() waits for a blocking read of the server
// (measured 5 to 70 ms here), so stop() only closes the delivery gate, which
// waits at most for a conversion in progress, and a closer thread of its own
// aborts and closes the stream behind it.
class PulseInput : public AudioInputStream {
public:
    ~PulseInput() override {
        stop();
        if (closer.joinable()) closer.join();
    }

    // The default source's format as this stream opens it: at its own rate
    // when RtAudio's PulseAudio API offers that rate (else 48 kHz, resampled by
    // the server), with one or two channels (other layouts are mixed down to
    // stereo by the server).
    AudioFormat nativeFormat() override {
        probed = {};
        const auto probe = probePulseServer();
        if (!probe.error.empty() || !(probe.defaultSource.sampleRate > 0) || probe.defaultSource.channelCount == 0)
            return {};
        constexpr std::array<double, 7> rates{8000, 16000, 22050, 32000, 44100, 48000, 96000};
        const auto rate = probe.defaultSource.sampleRate;
        probed = {std::find(rates.begin(), rates.end(), rate) != rates.end() ? rate : 48000.0,
                  std::min<std::uint32_t>(probe.defaultSource.channelCount, 2)};
        return probed;
    }

    bool start(std::uint32_t, BufferCallback onBuffer) override {
        if (rt) return true;
        // Opened in the format the caller was just told (and made its
        // converter for), unless it never asked.
        const auto native = probed.sampleRate > 0 ? probed : nativeFormat();
        if (!(native.sampleRate > 0)) return false;
        if (closer.joinable()) closer.join(); // the previous stream is long closed by now
        const auto rate = unsigned(native.sampleRate);
        auto stream = std::make_unique<RtAudio>(RtAudio::LINUX_PULSE);
        stream->showWarnings(false);
        RtAudio::StreamParameters params;
        params.deviceId = stream->getDefaultInputDevice();
        params.nChannels = native.channelCount;
        auto options = streamOptions("Hollerhopper capture", 2);
        unsigned frames = std::max(1u, unsigned(std::lround(rate * inputPeriodSeconds)));
        {
            std::lock_guard lock(gate);
            this->onBuffer = std::move(onBuffer);
            format = native;
            // RtAudio hands each callback what it read one cycle earlier, so
            // the first one carries no audio yet: skip it rather than send
            // 10 ms of silence ahead of the speech.
            isFirstBuffer = true;
            isDelivering = true;
        }
        try {
            stream->openStream(nullptr, &params, RTAUDIO_FLOAT32, rate, &frames, &PulseInput::onInput, this, &options);
            stream->startStream();
        } catch (const RtAudioError&) {
            closeGate();
            closeQuietly(*stream);
            return false;
        }
        rt = std::move(stream);
        return true;
    }

    void stop() override {
        closeGate();
        if (!rt) return;
        if (closer.joinable()) closer.join();
        closer = std::thread([stream = std::move(rt)] { closeQuietly(*stream); });
    }

private:
    void closeGate() {
        std::lock_guard lock(gate);
        isDelivering = false;
        onBuffer = nullptr;
    }

    static int onInput(void*, void* in, unsigned frames, double, RtAudioStreamStatus, void* user) {
        auto* self = static_cast<PulseInput*>(user);
        std::lock_guard lock(self->gate);
        if (!in || !self->isDelivering) return 0;
        if (self->isFirstBuffer) {
            self->isFirstBuffer = false;
            return 0;
        }
        const auto& f = self->format;
        self->onBuffer({std::span<const float>(static_cast<const float*>(in), std::size_t(frames) * f.channelCount), frames, f});
        return 0;
    }

    std::unique_ptr<RtAudio> rt;
    std::thread closer;
    AudioFormat probed;
    // Held for each delivery; closing it means no delivery runs or follows.
    std::mutex gate;
    BufferCallback onBuffer;
    AudioFormat format;
    bool isDelivering = false;
    bool isFirstBuffer = true;
};

class PulseAudioPlatform : public AudioPlatform {
public:
    AudioOutputStream& output() override { return out; }
    AudioInputStream& input() override { return in; }
    std::unique_ptr<AudioConverter> makeConverter(AudioFormat from) override { return SpeexConverter::make(from); }

private:
    PulseOutput out;
    PulseInput in;
};

} // namespace

std::unique_ptr<AudioPlatform> makePulseAudioPlatform() {
    return std::make_unique<PulseAudioPlatform>();
}

} // namespace hh
