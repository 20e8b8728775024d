// A native PipeWire playback stream for the peers benchmark: plays silence into the graph of
// the PipeWire instance found through XDG_RUNTIME_DIR and reports each change of its own
// channel volumes as the stream learns it (the control_info event pw_stream emits when the
// session manager sets the node's Props).
//
// Reports: "READY <node id>", then per change "SEEN <volume x 1e6> 0 <seen ns>".
#include <fcntl.h>
#include <math.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/props.h>
#include <string.h>

#include <string>

#include "bench/peers/PeerLine.h"

namespace {

using peers::monotonicNs;
using peers::report;

constexpr uint32_t kRate = 48000;
constexpr uint32_t kChannels = 2;

struct Client {
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    bool ready = false;
    float last = -1;
    peers::LineReader input{0};
};

void onProcess(void* userdata) {
    Client* c = static_cast<Client*>(userdata);
    pw_buffer* buffer = pw_stream_dequeue_buffer(c->stream);
    if (buffer == nullptr) return;
    spa_buffer* buf = buffer->buffer;
    if (buf->datas[0].data != nullptr) {
        const uint32_t stride = sizeof(float) * kChannels;
        uint32_t frames = buf->datas[0].maxsize / stride;
        if (buffer->requested != 0 && buffer->requested < frames) {
            frames = static_cast<uint32_t>(buffer->requested);
        }
        memset(buf->datas[0].data, 0, frames * stride);
        buf->datas[0].chunk->offset = 0;
        buf->datas[0].chunk->stride = stride;
        buf->datas[0].chunk->size = frames * stride;
    }
    pw_stream_queue_buffer(c->stream, buffer);
}

void onControl(void* userdata, uint32_t id, const pw_stream_control* control) {
    Client* c = static_cast<Client*>(userdata);
    if (id != SPA_PROP_channelVolumes || control->n_values == 0) return;
    const int64_t now = monotonicNs();
    const float volume = control->values[0];
    if (volume == c->last) return;
    const bool first = c->last < 0;
    c->last = volume;
    if (!first && c->ready)
        report("SEEN %ld 0 %lld", lroundf(volume * 1e6f), static_cast<long long>(now));
}

void onState(void* userdata, pw_stream_state, pw_stream_state state, const char* error) {
    Client* c = static_cast<Client*>(userdata);
    if (state == PW_STREAM_STATE_ERROR) {
        fprintf(stderr, "pipewire client: stream error: %s\n", error ? error : "?");
        pw_main_loop_quit(c->loop);
        return;
    }
    const uint32_t node = pw_stream_get_node_id(c->stream);
    if (!c->ready && state == PW_STREAM_STATE_STREAMING && node != SPA_ID_INVALID) {
        c->ready = true;
        report("READY %u", node);
    }
}

void onInput(void* userdata, int, uint32_t) {
    Client* c = static_cast<Client*>(userdata);
    if (!c->input.read()) {
        pw_main_loop_quit(c->loop);  // the driver is gone
        return;
    }
    std::string line;
    while (c->input.next(&line)) {
        fprintf(stderr, "pipewire client: unknown command '%s'\n", line.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    pw_init(&argc, &argv);
    Client c;
    fcntl(0, F_SETFL, fcntl(0, F_GETFL) | O_NONBLOCK);
    c.loop = pw_main_loop_new(nullptr);
    pw_loop* loop = pw_main_loop_get_loop(c.loop);
    pw_loop_add_io(loop, 0, SPA_IO_IN, false, onInput, &c);

    pw_stream_events events = {};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = onState;
    events.control_info = onControl;
    events.process = onProcess;
    c.stream =
        pw_stream_new_simple(loop, "peers playback",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                               "Playback", PW_KEY_MEDIA_ROLE, "Music",
                                               PW_KEY_NODE_NAME, "peers.pipewire.client", nullptr),
                             &events, &c);
    if (c.stream == nullptr) {
        fprintf(stderr, "pipewire client: cannot create the stream\n");
        return 1;
    }

    uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    spa_audio_info_raw info = {};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = kRate;
    info.channels = kChannels;
    info.position[0] = SPA_AUDIO_CHANNEL_FL;
    info.position[1] = SPA_AUDIO_CHANNEL_FR;
    const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(c.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
        fprintf(stderr, "pipewire client: cannot connect the stream\n");
        return 1;
    }
    pw_main_loop_run(c.loop);
    pw_stream_destroy(c.stream);
    pw_main_loop_destroy(c.loop);
    pw_deinit();
    return 0;
}
