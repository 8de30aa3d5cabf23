#include "app/model/linux/PulseMicrophoneAccess.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>
#include <pulse/timeval.h>

#include <memory>
#include <optional>
#include <utility>

namespace hh {

namespace {

// Owners of the libpulse objects of one check; the members below are released
// in reverse order: stream, context, timer, then the loop they all run on.
struct MainloopFree {
    void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
struct TimeEventFree {
    pa_mainloop_api* api = nullptr;
    void operator()(pa_time_event* event) const { api->time_free(event); }
};
struct ContextRelease {
    void operator()(pa_context* context) const {
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
    }
};
struct StreamRelease {
    void operator()(pa_stream* stream) const {
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
    }
};

// One check: connect, ask for the default source, look at it, open a corked
// record stream on it. Every callback moves it one step or ends it.
struct MicrophoneCheck {
    std::unique_ptr<pa_mainloop, MainloopFree> loop;
    std::unique_ptr<pa_time_event, TimeEventFree> timer;
    std::unique_ptr<pa_context, ContextRelease> context;
    std::unique_ptr<pa_stream, StreamRelease> stream;
    std::optional<MicrophoneAuthorization> result;

    void finish(MicrophoneAuthorization value) {
        if (!result) result = value;
    }

    // A failure of the connection itself: refused access is a denial, anything
    // else means the server is not there (yet).
    void finishWithContextError() {
        const int error = pa_context_errno(context.get());
        finish(error == PA_ERR_ACCESS ? MicrophoneAuthorization::denied : MicrophoneAuthorization::unavailable);
    }

    static void onContextState(pa_context* c, void* userdata) {
        auto* self = static_cast<MicrophoneCheck*>(userdata);
        switch (pa_context_get_state(c)) {
        case PA_CONTEXT_READY:
            if (pa_operation* op = pa_context_get_server_info(c, &MicrophoneCheck::onServerInfo, self))
                pa_operation_unref(op);
            else
                self->finishWithContextError();
            break;
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED: self->finishWithContextError(); break;
        default: break;
        }
    }

    static void onServerInfo(pa_context* c, const pa_server_info* info, void* userdata) {
        auto* self = static_cast<MicrophoneCheck*>(userdata);
        if (!info) return self->finishWithContextError();
        if (!info->default_source_name || !*info->default_source_name)
            return self->finish(MicrophoneAuthorization::noDevice);
        if (pa_operation* op =
                pa_context_get_source_info_by_name(c, info->default_source_name, &MicrophoneCheck::onSourceInfo, self))
            pa_operation_unref(op);
        else
            self->finishWithContextError();
    }

    static void onSourceInfo(pa_context* c, const pa_source_info* info, int eol, void* userdata) {
        auto* self = static_cast<MicrophoneCheck*>(userdata);
        if (self->result || self->stream) return;  // the list's end after the one entry
        if (eol < 0 || !info) {
            // The server names a default source that we cannot see: hidden from
            // us, as PipeWire does for a client refused the microphone.
            return self->finish(pa_context_errno(c) == PA_ERR_NOENTITY ? MicrophoneAuthorization::denied
                                                                        : MicrophoneAuthorization::unavailable);
        }
        // With no input device the server's default source is a sink's monitor:
        // recording it would capture our own playback, not a microphone.
        if (info->monitor_of_sink != PA_INVALID_INDEX) return self->finish(MicrophoneAuthorization::noDevice);

        const pa_sample_spec spec{PA_SAMPLE_S16LE, 16000, 1};
        self->stream.reset(pa_stream_new(c, "Hollerhopper microphone check", &spec, nullptr));
        if (!self->stream) return self->finishWithContextError();
        pa_stream_set_state_callback(self->stream.get(), &MicrophoneCheck::onStreamState, self);
        if (pa_stream_connect_record(self->stream.get(), info->name, nullptr, PA_STREAM_START_CORKED) < 0)
            self->finishWithContextError();
    }

    static void onStreamState(pa_stream* s, void* userdata) {
        auto* self = static_cast<MicrophoneCheck*>(userdata);
        switch (pa_stream_get_state(s)) {
        case PA_STREAM_READY: self->finish(MicrophoneAuthorization::authorized); break;
        case PA_STREAM_FAILED: {
            const int error = pa_context_errno(self->context.get());
            self->finish(error == PA_ERR_CONNECTIONTERMINATED ? MicrophoneAuthorization::unavailable
                                                              : MicrophoneAuthorization::denied);
            break;
        }
        case PA_STREAM_TERMINATED: self->finish(MicrophoneAuthorization::unavailable); break;
        default: break;
        }
    }

    static void onTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        static_cast<MicrophoneCheck*>(userdata)->finish(MicrophoneAuthorization::unavailable);
    }
};

} // namespace

PulseMicrophoneAccess::PulseMicrophoneAccess(std::string server, std::chrono::milliseconds timeout)
    : server_(std::move(server)), timeout_(timeout) {}

MicrophoneAuthorization PulseMicrophoneAccess::status() {
    MicrophoneCheck check;
    check.loop.reset(pa_mainloop_new());
    if (!check.loop) return MicrophoneAuthorization::unavailable;
    pa_mainloop_api* api = pa_mainloop_get_api(check.loop.get());

    timeval deadline{};
    pa_timeval_add(pa_gettimeofday(&deadline), static_cast<pa_usec_t>(timeout_.count()) * PA_USEC_PER_MSEC);
    check.timer = {api->time_new(api, &deadline, &MicrophoneCheck::onTimeout, &check), TimeEventFree{api}};

    check.context.reset(pa_context_new(api, "Hollerhopper"));
    if (!check.context) return MicrophoneAuthorization::unavailable;
    pa_context_set_state_callback(check.context.get(), &MicrophoneCheck::onContextState, &check);
    if (pa_context_connect(check.context.get(), server_.empty() ? nullptr : server_.c_str(), PA_CONTEXT_NOAUTOSPAWN,
                           nullptr) < 0)
        check.finishWithContextError();
    while (!check.result && pa_mainloop_iterate(check.loop.get(), 1, nullptr) >= 0) {
    }
    return check.result.value_or(MicrophoneAuthorization::unavailable);
}

void PulseMicrophoneAccess::requestAccess(std::function<void(bool isGranted)> completion) {
    const bool isGranted = status() == MicrophoneAuthorization::authorized;
    if (completion) completion(isGranted);
}

} // namespace hh
