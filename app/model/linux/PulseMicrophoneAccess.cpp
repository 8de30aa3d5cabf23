#include "app/model/linux/PulseMicrophoneAccess.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/stream.h>
#include <pulse/timeval.h>

#include <memory>
#include <utility>

namespace hh {

namespace {

// One check: connect, ask for the default source, look at it, open a corked
// record stream on it. Every callback moves it one step or ends it.
struct MicrophoneCheck {
    pa_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    std::optional<MicrophoneAuthorization> result;

    void finish(MicrophoneAuthorization value) {
        if (!result) result = value;
    }

    // A failure of the connection itself: refused access is a denial, anything
    // else means the server is not there (yet).
    void finishWithContextError() {
        const int error = pa_context_errno(context);
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
            return self->finish(MicrophoneAuthorization::denied);
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
            // The default names a source that is gone: nothing to record from.
            return self->finish(pa_context_errno(c) == PA_ERR_NOENTITY ? MicrophoneAuthorization::denied
                                                                        : MicrophoneAuthorization::unavailable);
        }
        // With no input device the server's default source is a sink's monitor:
        // recording it would capture our own playback, not a microphone.
        if (info->monitor_of_sink != PA_INVALID_INDEX) return self->finish(MicrophoneAuthorization::denied);

        const pa_sample_spec spec{PA_SAMPLE_S16LE, 16000, 1};
        self->stream = pa_stream_new(c, "Hollerhopper microphone check", &spec, nullptr);
        if (!self->stream) return self->finishWithContextError();
        pa_stream_set_state_callback(self->stream, &MicrophoneCheck::onStreamState, self);
        if (pa_stream_connect_record(self->stream, info->name, nullptr, PA_STREAM_START_CORKED) < 0)
            self->finishWithContextError();
    }

    static void onStreamState(pa_stream* s, void* userdata) {
        auto* self = static_cast<MicrophoneCheck*>(userdata);
        switch (pa_stream_get_state(s)) {
        case PA_STREAM_READY: self->finish(MicrophoneAuthorization::authorized); break;
        case PA_STREAM_FAILED: {
            const int error = pa_context_errno(self->context);
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
    check.loop = pa_mainloop_new();
    if (!check.loop) return MicrophoneAuthorization::unavailable;
    pa_mainloop_api* api = pa_mainloop_get_api(check.loop);

    timeval deadline{};
    pa_timeval_add(pa_gettimeofday(&deadline), static_cast<pa_usec_t>(timeout_.count()) * PA_USEC_PER_MSEC);
    pa_time_event* timer = api->time_new(api, &deadline, &MicrophoneCheck::onTimeout, &check);

    check.context = pa_context_new(api, "Hollerhopper");
    if (check.context) {
        pa_context_set_state_callback(check.context, &MicrophoneCheck::onContextState, &check);
        if (pa_context_connect(check.context, server_.empty() ? nullptr : server_.c_str(), PA_CONTEXT_NOAUTOSPAWN,
                               nullptr) < 0)
            check.finishWithContextError();
        while (!check.result && pa_mainloop_iterate(check.loop, 1, nullptr) >= 0) {
        }
        if (check.stream) {
            pa_stream_set_state_callback(check.stream, nullptr, nullptr);
            pa_stream_disconnect(check.stream);
            pa_stream_unref(check.stream);
        }
        pa_context_set_state_callback(check.context, nullptr, nullptr);
        pa_context_disconnect(check.context);
        pa_context_unref(check.context);
    }
    if (timer) api->time_free(timer);
    pa_mainloop_free(check.loop);
    return check.result.value_or(MicrophoneAuthorization::unavailable);
}

void PulseMicrophoneAccess::requestAccess(std::function<void(bool isGranted)> completion) {
    const bool isGranted = status() == MicrophoneAuthorization::authorized;
    if (completion) completion(isGranted);
}

} // namespace hh
