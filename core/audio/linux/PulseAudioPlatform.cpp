#include "core/audio/linux/LinuxAudioPlatform.h"
#include "core/audio/linux/SpeexConverter.h"
#include "core/log/Log.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace hh {

namespace {

// Playback: 16 kHz mono float; the server holds about 30 ms and asks for more
// 10 ms at a time, which keeps the mouth-to-ear delay low while leaving room
// for a late wake-up of our thread. 20 ms asked for 5 ms at a time ran dry up
// to 16 times in 20 s per listener (PulseAudio; PipeWire up to 39) in the field
// bench on a loaded 2-core machine.
constexpr pa_usec_t outputTargetLatency = 30 * PA_USEC_PER_MSEC;
constexpr pa_usec_t outputRequest = 10 * PA_USEC_PER_MSEC;
// Capture: 10 ms buffers at the source's own rate. A frame goes out when the
// buffer holding its last sample arrives; buffers of a whole frame would keep
// it waiting 10 ms on average, as their edges drift against the frames'.
constexpr pa_usec_t inputFragment = 10 * PA_USEC_PER_MSEC;
// A lost server is asked again once a second (well within the 3 s in which
// audio has to come back), and so is a stream the server refused.
constexpr pa_usec_t retryDelay = PA_USEC_PER_SEC;
constexpr pa_usec_t streamRetryDelay = 250 * PA_USEC_PER_MSEC;
// A capture stream that delivered nothing for this long is reported.
constexpr pa_usec_t stallCheckPeriod = 500 * PA_USEC_PER_MSEC;
constexpr auto stallLimit = std::chrono::milliseconds(1200);
// How long start() waits for a first answer from the server.
constexpr auto connectTimeout = std::chrono::seconds(2);

const char* const noServerText = "no sound server is running";
const char* const noAnswerText = "the sound server does not answer";
const char* const captureStallText = "the microphone delivers no audio";

// Owners of the libpulse objects. All but the main loop are released with the
// main loop's lock held (or its thread stopped).
struct MainloopDeleter {
    void operator()(pa_threaded_mainloop* m) const {
        pa_threaded_mainloop_stop(m);
        pa_threaded_mainloop_free(m);
    }
};
using MainloopPtr = std::unique_ptr<pa_threaded_mainloop, MainloopDeleter>;

struct ContextDeleter {
    void operator()(pa_context* c) const {
        pa_context_set_state_callback(c, nullptr, nullptr);
        pa_context_set_subscribe_callback(c, nullptr, nullptr);
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};
using ContextPtr = std::unique_ptr<pa_context, ContextDeleter>;

struct StreamDeleter {
    void operator()(pa_stream* s) const {
        pa_stream_set_state_callback(s, nullptr, nullptr);
        pa_stream_set_write_callback(s, nullptr, nullptr);
        pa_stream_set_read_callback(s, nullptr, nullptr);
        if (PA_STREAM_IS_GOOD(pa_stream_get_state(s))) pa_stream_disconnect(s);
        pa_stream_unref(s);
    }
};
using StreamPtr = std::unique_ptr<pa_stream, StreamDeleter>;

struct OperationDeleter {
    void operator()(pa_operation* o) const { pa_operation_unref(o); }
};
using OperationPtr = std::unique_ptr<pa_operation, OperationDeleter>;

// A one-shot or re-armed timer on the main loop.
class TimeEvent {
public:
    TimeEvent() = default;
    TimeEvent(const TimeEvent&) = delete;
    TimeEvent& operator=(const TimeEvent&) = delete;
    ~TimeEvent() { reset(); }

    bool isArmed() const { return event != nullptr; }
    void arm(pa_mainloop_api* loopApi, pa_usec_t delay, pa_time_event_cb_t callback, void* user) {
        timeval when{};
        pa_gettimeofday(&when);
        pa_timeval_add(&when, delay);
        if (event) {
            api->time_restart(event, &when);
            return;
        }
        api = loopApi;
        event = api->time_new(api, &when, callback, user);
    }
    void reset() {
        if (event) api->time_free(event);
        event = nullptr;
    }

private:
    pa_mainloop_api* api = nullptr;
    pa_time_event* event = nullptr;
};

// The loop's lock, except on the loop's own thread: its callbacks already run
// under it, and one of them may call back into us (a capture handler that
// plays what it hears resumes the output).
class LoopLock {
public:
    explicit LoopLock(pa_threaded_mainloop* m) : m(pa_threaded_mainloop_in_thread(m) ? nullptr : m) {
        if (this->m) pa_threaded_mainloop_lock(this->m);
    }
    ~LoopLock() {
        if (m) pa_threaded_mainloop_unlock(m);
    }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

private:
    pa_threaded_mainloop* m;
};

std::string describeContextError(int error) {
    switch (error) {
    case PA_ERR_CONNECTIONREFUSED:
    case PA_ERR_CONNECTIONTERMINATED:
    case PA_ERR_INVALIDSERVER: return noServerText;
    case PA_ERR_TIMEOUT: return noAnswerText;
    default: return std::string("cannot connect to the sound server: ") + pa_strerror(error);
    }
}

// One connection to the sound server on a libpulse thread of its own, and the
// two streams on it. Everything below runs with the main loop's lock held:
// libpulse callbacks on its thread, and the stream operations called from the
// owner's thread, which take the lock themselves. The connection and the
// streams are brought to what the owner wants by reconcile(); a lost server is
// asked again on a timer and the streams come back with it.
class PulseAudioPlatform : public AudioPlatform {
public:
    PulseAudioPlatform() : loop(pa_threaded_mainloop_new()) {
        if (!loop) throw AudioError("cannot start the audio thread");
        pa_threaded_mainloop_set_name(loop.get(), "hh-audio");
        api = pa_threaded_mainloop_get_api(loop.get());
        if (pa_threaded_mainloop_start(loop.get()) < 0) throw AudioError("cannot start the audio thread");
    }

    ~PulseAudioPlatform() override {
        {
            LoopLock lock(loop.get());
            isClosing = true;
            outputStream.reset();
            inputStream.reset();
            retryTimer.reset();
            stallTimer.reset();
            context.reset();
        }
        // The loop's thread stops (and pending deferred calls are dropped) before the members go.
        loop.reset();
    }

    AudioOutputStream& output() override { return out; }
    AudioInputStream& input() override { return in; }
    std::unique_ptr<AudioConverter> makeConverter(AudioFormat from) override { return SpeexConverter::make(from); }

    void setHealthHandler(HealthHandler handler) override {
        LoopLock lock(loop.get());
        healthHandler = std::move(handler);
    }

private:
    class Output : public AudioOutputStream {
    public:
        explicit Output(PulseAudioPlatform& p) : p(p) {}
        void start(RenderCallback render) override { p.startOutput(std::move(render)); }
        void resume() override { p.resumeOutput(); }
        void stop() override { p.stopOutput(); }

    private:
        PulseAudioPlatform& p;
    };

    class Input : public AudioInputStream {
    public:
        explicit Input(PulseAudioPlatform& p) : p(p) {}
        AudioFormat nativeFormat() override { return p.inputFormat(); }
        bool start(std::uint32_t, BufferCallback onBuffer) override { return p.startInput(std::move(onBuffer)); }
        void stop() override { p.stopInput(); }

    private:
        PulseAudioPlatform& p;
    };

    // Output, from the owner's thread.

    void startOutput(AudioOutputStream::RenderCallback newRender) {
        {
            LoopLock lock(loop.get());
            if (render) return;
            render = std::move(newRender);
            isOutputWanted = false;
            connectIfIdle();
        }
        // The connection's answer decides whether start() succeeds; later
        // ones only change the health report.
        std::unique_lock lock(outcomeMutex);
        if (!outcomeChanged.wait_for(lock, connectTimeout, [this] { return outcome.has_value(); }))
            throw AudioError(noAnswerText);
        if (!outcome->empty()) throw AudioError(*outcome);
    }

    void resumeOutput() {
        LoopLock lock(loop.get());
        if (!render || isOutputWanted) return;
        isOutputWanted = true;
        reconcile();
    }

    void stopOutput() {
        LoopLock lock(loop.get());
        render = nullptr;
        isOutputWanted = false;
        outputStream.reset();
    }

    // Input, from the owner's thread.

    AudioFormat inputFormat() {
        {
            LoopLock lock(loop.get());
            connectIfIdle();
        }
        std::lock_guard lock(formatMutex);
        return sourceFormat;
    }

    bool startInput(AudioInputStream::BufferCallback callback) {
        LoopLock lock(loop.get());
        if (onBuffer) return true;
        {
            std::lock_guard formatLock(formatMutex);
            if (!(sourceFormat.sampleRate > 0)) return false;
            captureFormat = sourceFormat;
        }
        onBuffer = std::move(callback);
        lastDelivery = std::chrono::steady_clock::now();
        connectIfIdle();
        reconcile();
        stallTimer.arm(api, stallCheckPeriod, &PulseAudioPlatform::onStallCheck, this);
        return true;
    }

    void stopInput() {
        LoopLock lock(loop.get());
        onBuffer = nullptr;
        inputStream.reset();
        stallTimer.reset();
        isCaptureStalled = false;
        reportHealth();
    }

    // The connection.

    void connectIfIdle() {
        if (context || isClosing) return;
        context.reset(pa_context_new(api, "Hollerhopper"));
        if (!context) return;
        setOutcome(std::nullopt);
        pa_context_set_state_callback(context.get(), &PulseAudioPlatform::onContextState, this);
        if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0)
            contextFailed(pa_context_errno(context.get()));
    }

    static void onContextState(pa_context* c, void* user) {
        auto& self = *static_cast<PulseAudioPlatform*>(user);
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY: self.contextReady(); break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED: self.contextFailed(pa_context_errno(c)); break;
        default: break;
        }
    }

    void contextReady() {
        isReady = true;
        connectionLog.succeeded();
        pa_context_set_subscribe_callback(context.get(), &PulseAudioPlatform::onServerEvent, this);
        OperationPtr(pa_context_subscribe(
            context.get(), pa_subscription_mask_t(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE), nullptr, nullptr));
        queryDefaultSource();
        reconcileLater();
    }

    // The context is gone (server killed, restarted, never there): the streams
    // on it are dead; it is dropped outside its own callback and asked again
    // after a pause, so nothing spins while the server is away.
    void contextFailed(int error) {
        isReady = false;
        serverError = describeContextError(error);
        connectionLog.failed(*serverError);
        setOutcome(*serverError);
        reportHealth();
        if (!isClosing) retryTimer.arm(api, retryDelay, &PulseAudioPlatform::onRetry, this);
    }

    static void onRetry(pa_mainloop_api*, pa_time_event*, const timeval*, void* user) {
        auto& self = *static_cast<PulseAudioPlatform*>(user);
        self.retryTimer.reset();
        if (self.context && !PA_CONTEXT_IS_GOOD(pa_context_get_state(self.context.get()))) {
            self.outputStream.reset();
            self.inputStream.reset();
            self.context.reset();
        }
        self.connectIfIdle();
        self.reconcile();
    }

    // The default source's format, asked ahead of each press: now and after
    // each change of the server's defaults or of a source.
    static void onServerEvent(pa_context*, pa_subscription_event_type_t, std::uint32_t, void* user) {
        static_cast<PulseAudioPlatform*>(user)->queryDefaultSource();
    }

    void queryDefaultSource() {
        OperationPtr(pa_context_get_server_info(
            context.get(),
            [](pa_context* c, const pa_server_info* info, void* user) {
                auto& self = *static_cast<PulseAudioPlatform*>(user);
                if (!info || !info->default_source_name) {
                    self.setSourceFormat({});
                    return;
                }
                OperationPtr(pa_context_get_source_info_by_name(
                    c, info->default_source_name,
                    [](pa_context*, const pa_source_info* source, int eol, void* user) {
                        auto& self = *static_cast<PulseAudioPlatform*>(user);
                        if (eol < 0) self.setSourceFormat({});
                        if (eol != 0 || !source) return;
                        // One or two channels: other layouts are mixed down to stereo by the server.
                        self.setSourceFormat({double(source->sample_spec.rate),
                                              std::min<std::uint32_t>(source->sample_spec.channels, 2)},
                                             source->name ? source->name : "");
                    },
                    user));
            },
            this));
    }

    void setSourceFormat(AudioFormat format, std::string name = {}) {
        const bool isNewSource = name != sourceName;
        sourceName = std::move(name);
        {
            std::lock_guard lock(formatMutex);
            sourceFormat = format;
        }
        // The server answered in full: audio works.
        serverError.reset();
        setOutcome(std::string());
        const auto before = reportedHealth;
        reportHealth();
        // A microphone plugged in or gone while the server stays up changes no
        // health, yet whoever shows whether there is one must look again.
        if (isNewSource && reportedHealth == before && healthHandler) healthHandler(reportedHealth);
    }

    void setOutcome(std::optional<std::string> value) {
        std::lock_guard lock(outcomeMutex);
        outcome = std::move(value);
        outcomeChanged.notify_all();
    }

    void reportHealth() {
        std::optional<std::string> now = serverError;
        if (!now && isCaptureStalled) now = captureStallText;
        if (now == reportedHealth) return;
        reportedHealth = now;
        if (healthHandler) healthHandler(now);
    }

    // The streams.

    void reconcileLater() {
        if (isReconcileQueued || isClosing) return;
        isReconcileQueued = true;
        pa_mainloop_api_once(
            api,
            [](pa_mainloop_api*, void* user) {
                auto& self = *static_cast<PulseAudioPlatform*>(user);
                self.isReconcileQueued = false;
                self.reconcile();
            },
            this);
    }

    // Brings the streams to what is wanted. A stream the server dropped while
    // the connection stays up is opened again after a pause.
    void reconcile() {
        if (isClosing) return;
        const bool wantsOutput = render && isOutputWanted;
        const bool wantsInput = static_cast<bool>(onBuffer);
        if (!wantsOutput) outputStream.reset();
        if (!wantsInput) inputStream.reset();
        if (!isReady) return;
        bool isRefused = false;
        if (outputStream && !PA_STREAM_IS_GOOD(pa_stream_get_state(outputStream.get()))) {
            outputStream.reset();
            isRefused = true;
        }
        if (inputStream && !PA_STREAM_IS_GOOD(pa_stream_get_state(inputStream.get()))) {
            inputStream.reset();
            isRefused = true;
        }
        if (isRefused) {
            retryTimer.arm(api, streamRetryDelay, &PulseAudioPlatform::onRetry, this);
            return;
        }
        if (wantsOutput && !outputStream) openOutput();
        if (wantsInput && !inputStream) openInput();
    }

    static void onStreamState(pa_stream* s, void* user) {
        auto& self = *static_cast<PulseAudioPlatform*>(user);
        const auto state = pa_stream_get_state(s);
        if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
            HH_LOG_INFO(logcat::audio, "a stream ended: " << pa_strerror(pa_context_errno(pa_stream_get_context(s))));
            self.reconcileLater();
        }
    }

    void openOutput() {
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, 16000, 1};
        StreamPtr stream(pa_stream_new(context.get(), "Hollerhopper playback", &spec, nullptr));
        if (!stream) return;
        pa_buffer_attr attr{};
        attr.maxlength = std::uint32_t(-1);
        attr.tlength = std::uint32_t(pa_usec_to_bytes(outputTargetLatency, &spec));
        attr.prebuf = std::uint32_t(-1);
        attr.minreq = std::uint32_t(pa_usec_to_bytes(outputRequest, &spec));
        attr.fragsize = std::uint32_t(-1);
        pa_stream_set_state_callback(stream.get(), &PulseAudioPlatform::onStreamState, this);
        pa_stream_set_write_callback(stream.get(), &PulseAudioPlatform::onWrite, this);
        pa_stream_set_underflow_callback(stream.get(), &PulseAudioPlatform::onUnderflow, this);
        pa_stream_set_started_callback(stream.get(), &PulseAudioPlatform::onStarted, this);
        // No device named: the server's default sink, followed when it changes.
        if (pa_stream_connect_playback(stream.get(), nullptr, &attr, PA_STREAM_ADJUST_LATENCY, nullptr, nullptr) < 0) {
            retryTimer.arm(api, streamRetryDelay, &PulseAudioPlatform::onRetry, this);
            return;
        }
        outputStream = std::move(stream);
    }

    static void onWrite(pa_stream* s, std::size_t bytes, void* user) {
        auto& self = *static_cast<PulseAudioPlatform*>(user);
        while (bytes > 0 && self.render) {
            void* data = nullptr;
            std::size_t n = bytes;
            if (pa_stream_begin_write(s, &data, &n) < 0 || !data) return;
            n -= n % sizeof(float);
            if (n == 0) {
                pa_stream_cancel_write(s);
                return;
            }
            const bool keepsPulling = self.render({static_cast<float*>(data), n / sizeof(float)});
            pa_stream_write(s, data, n, nullptr, 0, PA_SEEK_RELATIVE);
            bytes -= std::min(n, bytes);
            if (!keepsPulling) {
                // Quiet for a while: close the stream (outside its own callback)
                // so the sink can suspend; resume() opens a new one.
                self.isOutputWanted = false;
                self.reconcileLater();
                return;
            }
        }
    }

    // The server had nothing of ours to play (our thread woke too late), and
    // later plays again: how tight the output's buffer may be is read here.
    static void onUnderflow(pa_stream*, void* user) { static_cast<PulseAudioPlatform*>(user)->playbackLog.failed("ran dry"); }
    static void onStarted(pa_stream*, void* user) { static_cast<PulseAudioPlatform*>(user)->playbackLog.succeeded(); }

    void openInput() {
        const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, std::uint32_t(captureFormat.sampleRate),
                                  std::uint8_t(captureFormat.channelCount)};
        StreamPtr stream(pa_stream_new(context.get(), "Hollerhopper capture", &spec, nullptr));
        if (!stream) return;
        pa_buffer_attr attr{};
        attr.maxlength = std::uint32_t(-1);
        attr.fragsize = std::uint32_t(pa_usec_to_bytes(inputFragment, &spec));
        pa_stream_set_state_callback(stream.get(), &PulseAudioPlatform::onStreamState, this);
        pa_stream_set_read_callback(stream.get(), &PulseAudioPlatform::onRead, this);
        if (pa_stream_connect_record(stream.get(), nullptr, &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
            retryTimer.arm(api, streamRetryDelay, &PulseAudioPlatform::onRetry, this);
            return;
        }
        lastDelivery = std::chrono::steady_clock::now();
        inputStream = std::move(stream);
    }

    static void onRead(pa_stream* s, std::size_t, void* user) {
        auto& self = *static_cast<PulseAudioPlatform*>(user);
        const auto channels = std::max<std::uint32_t>(1, self.captureFormat.channelCount);
        while (pa_stream_readable_size(s) > 0) {
            const void* data = nullptr;
            std::size_t n = 0;
            if (pa_stream_peek(s, &data, &n) < 0 || n == 0) return;
            // A hole (data null) is skipped, never filled with silence.
            if (data && self.onBuffer) {
                const auto frames = std::uint32_t(n / sizeof(float) / channels);
                self.onBuffer({std::span<const float>(static_cast<const float*>(data), std::size_t(frames) * channels),
                               frames, self.captureFormat});
                self.lastDelivery = std::chrono::steady_clock::now();
                if (self.isCaptureStalled) {
                    self.isCaptureStalled = false;
                    self.reportHealth();
                }
            }
            pa_stream_drop(s);
        }
    }

    static void onStallCheck(pa_mainloop_api*, pa_time_event*, const timeval*, void* user) {
        auto& self = *static_cast<PulseAudioPlatform*>(user);
        if (!self.onBuffer) return;
        const bool isStalled = self.isReady && std::chrono::steady_clock::now() - self.lastDelivery > stallLimit;
        if (isStalled != self.isCaptureStalled) {
            self.isCaptureStalled = isStalled;
            HH_LOG_WARNING(logcat::audio, (isStalled ? "capture stopped delivering" : "capture delivers again"));
            self.reportHealth();
        }
        self.stallTimer.arm(self.api, stallCheckPeriod, &PulseAudioPlatform::onStallCheck, user);
    }

    // Declared first, released last: the loop's thread ends before anything it uses.
    MainloopPtr loop;
    pa_mainloop_api* api = nullptr;
    Output out{*this};
    Input in{*this};

    // Under the loop's lock.
    ContextPtr context;
    bool isReady = false;
    bool isClosing = false;
    bool isReconcileQueued = false;
    TimeEvent retryTimer;
    TimeEvent stallTimer;
    AudioOutputStream::RenderCallback render;
    bool isOutputWanted = false;
    StreamPtr outputStream;
    AudioInputStream::BufferCallback onBuffer;
    AudioFormat captureFormat;
    StreamPtr inputStream;
    std::chrono::steady_clock::time_point lastDelivery;
    bool isCaptureStalled = false;
    std::optional<std::string> serverError;
    std::optional<std::string> reportedHealth;
    HealthHandler healthHandler;
    FailureLog connectionLog{logcat::audio, "sound server connection"};
    FailureLog playbackLog{logcat::audio, "playback"};

    // The default source's format, read by the owner's thread without the loop's lock.
    std::mutex formatMutex;
    AudioFormat sourceFormat;
    std::string sourceName;  // the default source's, on the loop's thread

    // The current connection's outcome: none while it is being made, empty
    // once the server answered in full, else the error.
    std::mutex outcomeMutex;
    std::condition_variable outcomeChanged;
    std::optional<std::string> outcome;
};

} // namespace

std::unique_ptr<AudioPlatform> makePulseAudioPlatform() {
    return std::make_unique<PulseAudioPlatform>();
}

} // namespace hh
