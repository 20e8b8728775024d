// A PulseAudio playback client for the peers benchmark: plays silence on the default sink of
// the server in PULSE_SERVER and reports each change of its own stream's volume the way any
// libpulse client learns it: a subscription event for its sink input, then a query of that
// sink input's volume.
//
// Reports: "READY <sink input index>", then per change "SEEN <volume> <event ns> <seen ns>".
// Command "SELF <volume>" sets the stream's own volume and reports
// "SELFDONE <start ns> <ack ns> <event ns> <seen ns>" once both the server's acknowledgement
// and the changed volume have arrived.
#include <fcntl.h>
#include <pulse/pulseaudio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "bench/peers/PeerLine.h"

namespace {

using peers::monotonicNs;
using peers::report;

struct Client {
    pa_mainloop* loop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    uint32_t index = PA_INVALID_INDEX;
    bool ready = false;
    pa_volume_t last = PA_VOLUME_INVALID;
    int64_t eventNs = 0;  // first change event not yet matched by a query
    bool queryPending = false;
    bool queryAgain = false;
    // A SELF command in flight.
    bool selfActive = false;
    pa_volume_t selfWant = 0;
    int64_t selfStart = 0, selfAck = 0, selfEvent = 0, selfSeen = 0;
    peers::LineReader input{0};
};

void fail(Client* c, const char* what) {
    fprintf(stderr, "pulse client: %s: %s\n", what, pa_strerror(pa_context_errno(c->context)));
    pa_mainloop_quit(c->loop, 1);
}

void maybeFinishSelf(Client* c) {
    if (!c->selfActive || c->selfAck == 0 || c->selfSeen == 0) return;
    c->selfActive = false;
    report("SELFDONE %lld %lld %lld %lld", static_cast<long long>(c->selfStart),
           static_cast<long long>(c->selfAck), static_cast<long long>(c->selfEvent),
           static_cast<long long>(c->selfSeen));
}

void query(Client* c);

void onSinkInputInfo(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
    Client* c = static_cast<Client*>(userdata);
    if (eol != 0) {
        c->queryPending = false;
        if (c->queryAgain) {
            c->queryAgain = false;
            query(c);
        }
        return;
    }
    const int64_t now = monotonicNs();
    const pa_volume_t volume = pa_cvolume_max(&info->volume);
    if (volume == c->last) {
        c->eventNs = 0;  // the event was about something else (cork, properties)
        return;
    }
    const bool first = c->last == PA_VOLUME_INVALID;
    c->last = volume;
    if (first) {
        c->ready = true;
        report("READY %u", c->index);
    } else {
        report("SEEN %u %lld %lld", volume, static_cast<long long>(c->eventNs),
               static_cast<long long>(now));
        if (c->selfActive && volume == c->selfWant) {
            c->selfEvent = c->eventNs;
            c->selfSeen = now;
            maybeFinishSelf(c);
        }
    }
    c->eventNs = 0;
}

void query(Client* c) {
    if (c->queryPending) {
        c->queryAgain = true;
        return;
    }
    pa_operation* op = pa_context_get_sink_input_info(c->context, c->index, onSinkInputInfo, c);
    if (op == nullptr) return fail(c, "sink input query");
    pa_operation_unref(op);
    c->queryPending = true;
}

void onEvent(pa_context*, pa_subscription_event_type_t type, uint32_t index, void* userdata) {
    Client* c = static_cast<Client*>(userdata);
    const int64_t now = monotonicNs();
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SINK_INPUT ||
        (type & PA_SUBSCRIPTION_EVENT_TYPE_MASK) != PA_SUBSCRIPTION_EVENT_CHANGE ||
        index != c->index) {
        return;
    }
    if (c->eventNs == 0) c->eventNs = now;
    query(c);
}

void onSetVolume(pa_context*, int success, void* userdata) {
    Client* c = static_cast<Client*>(userdata);
    if (!success) return fail(c, "set own volume");
    c->selfAck = monotonicNs();
    maybeFinishSelf(c);
}

void runCommand(Client* c, const std::string& line) {
    unsigned volume = 0;
    if (sscanf(line.c_str(), "SELF %u", &volume) != 1 || !c->ready || c->selfActive) {
        fprintf(stderr, "pulse client: cannot run '%s'\n", line.c_str());
        pa_mainloop_quit(c->loop, 1);
        return;
    }
    pa_cvolume cv;
    pa_cvolume_set(&cv, pa_stream_get_sample_spec(c->stream)->channels, volume);
    c->selfActive = true;
    c->selfWant = volume;
    c->selfAck = c->selfEvent = c->selfSeen = 0;
    c->selfStart = monotonicNs();
    pa_operation* op = pa_context_set_sink_input_volume(c->context, c->index, &cv, onSetVolume, c);
    if (op == nullptr) return fail(c, "set own volume");
    pa_operation_unref(op);
}

void onInput(pa_mainloop_api*, pa_io_event*, int, pa_io_event_flags_t, void* userdata) {
    Client* c = static_cast<Client*>(userdata);
    if (!c->input.read()) {
        pa_mainloop_quit(c->loop, 0);  // the driver is gone
        return;
    }
    std::string line;
    while (c->input.next(&line)) runCommand(c, line);
}

void onWritable(pa_stream* s, size_t bytes, void*) {
    static const char kSilence[16384] = {};
    while (bytes > 0) {
        size_t n = bytes < sizeof(kSilence) ? bytes : sizeof(kSilence);
        if (pa_stream_write(s, kSilence, n, nullptr, 0, PA_SEEK_RELATIVE) < 0) return;
        bytes -= n;
    }
}

void onStreamState(pa_stream* s, void* userdata) {
    Client* c = static_cast<Client*>(userdata);
    switch (pa_stream_get_state(s)) {
        case PA_STREAM_READY: {
            c->index = pa_stream_get_index(s);
            pa_operation* op =
                pa_context_subscribe(c->context, PA_SUBSCRIPTION_MASK_SINK_INPUT, nullptr, nullptr);
            if (op == nullptr) return fail(c, "subscribe");
            pa_operation_unref(op);
            query(c);  // learns the starting volume, then reports READY
            break;
        }
        case PA_STREAM_FAILED:
        case PA_STREAM_TERMINATED:
            return fail(c, "stream");
        default:
            break;
    }
}

void onContextState(pa_context* context, void* userdata) {
    Client* c = static_cast<Client*>(userdata);
    switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY: {
            const pa_sample_spec format = {PA_SAMPLE_S16LE, 44100, 2};
            c->stream = pa_stream_new(context, "peers playback", &format, nullptr);
            if (c->stream == nullptr) return fail(c, "new stream");
            pa_stream_set_state_callback(c->stream, onStreamState, c);
            pa_stream_set_write_callback(c->stream, onWritable, nullptr);
            if (pa_stream_connect_playback(c->stream, nullptr, nullptr, PA_STREAM_NOFLAGS, nullptr,
                                           nullptr) < 0) {
                return fail(c, "connect stream");
            }
            pa_context_set_subscribe_callback(context, onEvent, c);
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            return fail(c, "context");
        default:
            break;
    }
}

}  // namespace

int main() {
    Client c;
    fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
    c.loop = pa_mainloop_new();
    pa_mainloop_api* api = pa_mainloop_get_api(c.loop);
    c.context = pa_context_new(api, "peers pulse client");
    pa_context_set_state_callback(c.context, onContextState, &c);
    if (pa_context_connect(c.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        fprintf(stderr, "pulse client: connect: %s\n", pa_strerror(pa_context_errno(c.context)));
        return 1;
    }
    api->io_new(api, 0, PA_IO_EVENT_INPUT, onInput, &c);
    int result = 1;
    pa_mainloop_run(c.loop, &result);
    if (c.stream != nullptr) pa_stream_unref(c.stream);
    pa_context_disconnect(c.context);
    pa_context_unref(c.context);
    pa_mainloop_free(c.loop);
    return result;
}
