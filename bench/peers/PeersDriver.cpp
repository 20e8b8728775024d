// Times, in interleaved rounds, how long a volume change takes from the start of a command
// until a playing client sees it: tonvale --set-profile against pactl set-sink-input-volume
// (PulseAudio and pipewire-pulse) and wpctl set-volume (PipeWire with WirePlumber). Then, from
// long-lived clients with no process start, a change each client makes to its own volume.
//
// The servers are started by bench/peers/peers.sh; this program starts one playing client per
// server, runs the commands and prints BENCH lines. Every time is CLOCK_MONOTONIC, taken by
// this program when it starts a command and by the client when it sees the change.
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/common/BenchStats.h"
#include "bench/peers/PeerLine.h"

extern char** environ;

namespace {

using peers::monotonicNs;
using tonvale_bench::percentile;

constexpr int64_t kTimeoutNs = 10000000000;

[[noreturn]] void die(const std::string& what);

/** The driver's environment with some variables replaced or added. */
std::vector<std::string> environmentWith(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        if (overrides.count(entry.substr(0, entry.find('='))) == 0) env.push_back(entry);
    }
    for (const auto& [key, value] : overrides) env.push_back(key + "=" + value);
    return env;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& s : strings) result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

/**
 * Spawns argv (argv[0] is the path unless program is given) with stdin and stdout as given
 * (-1 for /dev/null) and stderr to the log. Returns the pid, or dies.
 */
pid_t spawn(std::vector<std::string> argv, const std::map<std::string, std::string>& env, int in,
            int out, int log, const std::string& program = "") {
    std::vector<std::string> envStrings = environmentWith(env);
    std::vector<char*> args = pointers(argv);
    std::vector<char*> envp = pointers(envStrings);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0) {
        posix_spawn_file_actions_adddup2(&actions, in, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (out >= 0) {
        posix_spawn_file_actions_adddup2(&actions, out, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, log, 2);
    pid_t pid = -1;
    const std::string path = program.empty() ? argv[0] : program;
    int rc = posix_spawnp(&pid, path.c_str(), &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) die("cannot start " + path + ": " + strerror(rc));
    return pid;
}

/** A playing client: a child process spoken to in lines over two pipes. */
class Client {
public:
    Client(const std::string& label, const std::string& path, const std::string& argv0,
           const std::map<std::string, std::string>& env, int log)
        : mLabel(label) {
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) die("pipe");
        mPid = spawn({argv0}, env, toChild[0], fromChild[1], log, path);
        close(toChild[0]);
        close(fromChild[1]);
        mIn = toChild[1];
        mOut = fromChild[0];
    }

    ~Client() {
        close(mIn);  // the client leaves at the end of its input
        const int64_t deadline = monotonicNs() + 2000000000;
        int status;
        while (waitpid(mPid, &status, WNOHANG) == 0) {
            if (monotonicNs() > deadline) {
                kill(mPid, SIGKILL);
                waitpid(mPid, &status, 0);
                break;
            }
            usleep(1000);
        }
        close(mOut);
    }

    const std::string& label() const { return mLabel; }
    int fd() const { return mOut; }

    void send(const std::string& line) {
        std::string text = line + "\n";
        if (write(mIn, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            die(mLabel + " client: cannot write");
        }
    }

    /** Takes a complete line if one is buffered. */
    bool take(std::string* line) {
        size_t end = mBuffered.find('\n');
        if (end == std::string::npos) return false;
        *line = mBuffered.substr(0, end);
        mBuffered.erase(0, end + 1);
        return true;
    }

    /** Reads what is there after poll() said so; dies when the client is gone. */
    void fill() {
        char buf[512];
        ssize_t n = read(mOut, buf, sizeof(buf));
        if (n <= 0) die(mLabel + " client ended");
        mBuffered.append(buf, static_cast<size_t>(n));
    }

    std::string readLine() {
        const int64_t deadline = monotonicNs() + kTimeoutNs;
        std::string line;
        while (!take(&line)) {
            pollfd p = {mOut, POLLIN, 0};
            const int64_t left = deadline - monotonicNs();
            if (left <= 0 || poll(&p, 1, static_cast<int>(left / 1000000) + 1) == 0) {
                die(mLabel + " client did not answer");
            }
            fill();
        }
        return line;
    }

    /** The next line that starts with word, skipping others. */
    std::string expect(const std::string& word) {
        for (;;) {
            std::string line = readLine();
            if (line.rfind(word, 0) == 0) return line;
            if (line.rfind("TIMEOUT", 0) == 0) die(mLabel + " client saw no change");
        }
    }

private:
    std::string mLabel;
    pid_t mPid = -1;
    int mIn = -1, mOut = -1;
    std::string mBuffered;
};

std::vector<std::unique_ptr<Client>> gClients;

void die(const std::string& what) {
    fprintf(stderr, "peers: %s\n", what.c_str());
    gClients.clear();
    exit(1);
}

/** One kind of change timed from its command's start until its client sees it. */
struct Peer {
    std::string label;
    Client* client;
    std::string target;                      // what the command names: process, index or node
    std::map<std::string, std::string> env;  // for the command
    std::vector<std::string> (*command)(const Peer&, const std::string& value);
    std::string (*value)(int round);
    bool (*matches)(const std::string& value, double seen);
    std::vector<double> seen, event, exit;  // milliseconds after the command's start
};

struct Options {
    int rounds = 300;
    int warmup = 20;
    int selfRounds = 1000;
    std::string tool, log = "/dev/null";
    std::string tonvaleClient, pulseClient, pipewireClient;
    std::string pulseServer, pipewirePulseServer, pipewireRuntime;
};

std::string gTool;
int gLog = -1;  // stderr of the clients and commands

std::vector<std::string> toolCommand(const Peer& p, const std::string& value) {
    return {gTool, "--set-profile", p.target, "1", "1", value, "false", "false"};
}

std::vector<std::string> pactlCommand(const Peer& p, const std::string& value) {
    return {"pactl", "set-sink-input-volume", p.target, value};
}

std::vector<std::string> wpctlCommand(const Peer& p, const std::string& value) {
    return {"wpctl", "set-volume", p.target, value};
}

// Commands timed until they exit, with no client: where a change's time goes.
std::vector<std::string> trueCommand(const Peer&, const std::string&) {
    return {"/bin/true"};
}

std::vector<std::string> usageCommand(const Peer&, const std::string&) {
    return {gTool, "-h"};
}

std::vector<std::string> ovrStatusCommand(const Peer&, const std::string&) {
    return {gTool, "--ovr-status"};
}

std::vector<std::string> pactlInfoCommand(const Peer&, const std::string&) {
    return {"pactl", "info"};
}

std::vector<std::string> wpctlGetVolumeCommand(const Peer& p, const std::string&) {
    return {"wpctl", "get-volume", p.target};
}

// Each round's value differs from the one before (7 and 89 are coprime).
std::string fraction(int round) {
    char buf[16];
    snprintf(buf, sizeof(buf), "0.%02d", (round * 7) % 89 + 10);
    return buf;
}

std::string rawVolume(int round) {
    return std::to_string(20000 + (round * 7) % 89 * 500);
}

bool sameFraction(const std::string& value, double seen) {
    return fabs(seen - atof(value.c_str())) < 1e-5;
}

// pipewire-pulse keeps volumes as floats and converts back, so allow a step either way.
bool sameRaw(const std::string& value, double seen) {
    return fabs(seen - atof(value.c_str())) <= 2;
}

// wpctl takes a cubic volume; the stream sees the linear factor (the cube).
bool cubedFraction(const std::string& value, double seen) {
    const double v = atof(value.c_str());
    return fabs(seen / 1e6 - v * v * v) < 2e-6 || fabs(seen / 1e6 - v) < 2e-6;
}

/** Runs one round of a peer: its command, timed until the client reports the value. */
void runRound(Peer& p, int round, bool keep) {
    const std::string value = p.value(round);
    if (p.client == nullptr) {
        std::vector<std::string> argv = p.command(p, value);
        const int64_t start = monotonicNs();
        pid_t pid = spawn(argv, p.env, -1, -1, gLog);
        int status = 0;
        waitpid(pid, &status, 0);
        const int64_t exited = monotonicNs();
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die(p.label + ": command failed");
        if (keep) p.exit.push_back((exited - start) / 1e6);
        return;
    }
    if (p.command == toolCommand) {
        p.client->send("ARM " + value);
        p.client->expect("ARMED");
    }
    std::vector<std::string> argv = p.command(p, value);
    const int64_t start = monotonicNs();
    pid_t pid = spawn(argv, p.env, -1, -1, gLog);
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) die("pidfd_open");

    int64_t exited = 0, seen = 0, event = 0;
    const int64_t deadline = start + kTimeoutNs;
    std::string line;
    while (exited == 0 || seen == 0) {
        while (seen == 0 && p.client->take(&line)) {
            long long e = 0, s = 0;
            char got[64];
            if (line.rfind("TIMEOUT", 0) == 0) die(p.label + ": the client saw no change");
            if (sscanf(line.c_str(), "SEEN %63s %lld %lld", got, &e, &s) != 3) continue;
            if (!p.matches(value, atof(got))) continue;
            seen = s;
            event = e;
        }
        if (exited != 0 && seen != 0) break;
        pollfd fds[2] = {{pidfd, POLLIN, 0}, {p.client->fd(), POLLIN, 0}};
        const int64_t left = deadline - monotonicNs();
        if (left <= 0 || poll(fds, 2, static_cast<int>(left / 1000000) + 1) <= 0) {
            die(p.label + ": no change seen within the time limit");
        }
        if (exited == 0 && (fds[0].revents & POLLIN)) {
            exited = monotonicNs();
            int status = 0;
            waitpid(pid, &status, 0);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                die(p.label + ": '" + argv[0] + " " + argv[1] + "' failed");
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP)) p.client->fill();
    }
    close(pidfd);
    if (!keep) return;
    p.seen.push_back((seen - start) / 1e6);
    if (event != 0) p.event.push_back((event - start) / 1e6);
    p.exit.push_back((exited - start) / 1e6);
}

void print(const std::string& name, double value, const char* unit) {
    printf("BENCH %s %.3f %s\n", name.c_str(), value, unit);
}

void printSamples(const std::string& name, const std::vector<double>& samples, const char* unit,
                  const std::vector<double>* base) {
    const double p50 = percentile(samples, 0.5), p99 = percentile(samples, 0.99);
    print(name + "_p50", p50, unit);
    print(name + "_p99", p99, unit);
    if (base != nullptr) {
        print(name + "_ratio_p50", p50 / percentile(*base, 0.5), "x");
        print(name + "_ratio_p99", p99 / percentile(*base, 0.99), "x");
    }
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    size_t pos = 0;
    while ((pos = line.find_first_not_of(' ', pos)) != std::string::npos) {
        size_t end = line.find(' ', pos);
        out.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return out;
}

/** Microseconds from the first field of a report line to each later field. */
std::vector<double> sinceStart(const std::string& line) {
    std::vector<std::string> w = words(line);
    std::vector<double> out;
    const long long start = atoll(w.at(1).c_str());
    for (size_t i = 2; i < w.size(); ++i) {
        const long long t = atoll(w[i].c_str());
        out.push_back(t == 0 ? -1 : (t - start) / 1e3);
    }
    return out;
}

Options parse(int argc, char** argv) {
    Options o;
    std::map<std::string, std::string*> text = {
        {"--tool", &o.tool},
        {"--log", &o.log},
        {"--tonvale-client", &o.tonvaleClient},
        {"--pulse-client", &o.pulseClient},
        {"--pipewire-client", &o.pipewireClient},
        {"--pulse-server", &o.pulseServer},
        {"--pipewire-pulse-server", &o.pipewirePulseServer},
        {"--pipewire-runtime", &o.pipewireRuntime},
    };
    std::map<std::string, int*> numbers = {
        {"--rounds", &o.rounds}, {"--warmup", &o.warmup}, {"--self-rounds", &o.selfRounds}};
    for (int i = 1; i + 1 < argc; i += 2) {
        if (text.count(argv[i])) {
            *text[argv[i]] = argv[i + 1];
        } else if (numbers.count(argv[i]) && atoi(argv[i + 1]) >= 0) {
            *numbers[argv[i]] = atoi(argv[i + 1]);
        } else {
            die(std::string("unknown or bad option ") + argv[i]);
        }
    }
    if (argc % 2 == 0) die("options come in pairs");
    if (o.tool.empty() || o.tonvaleClient.empty()) die("--tool and --tonvale-client are needed");
    if (o.rounds == 0) die("--rounds must be at least 1");
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    const Options o = parse(argc, argv);
    gTool = o.tool;
    gLog = open(o.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (gLog < 0) die("cannot open " + o.log);
    const int log = gLog;

    std::vector<Peer> peers;
    auto addClient = [&](const std::string& label, const std::string& path,
                         const std::string& argv0, std::map<std::string, std::string> env) {
        gClients.push_back(std::make_unique<Client>(label, path, argv0, env, log));
        Client* c = gClients.back().get();
        std::vector<std::string> ready = words(c->expect("READY"));
        if (ready.size() < 2) die(label + " client: bad READY line");
        return std::make_pair(c, ready[1]);
    };

    auto [tonvale, process] = addClient("tonvale", o.tonvaleClient, "peers.tonvale.client", {});
    peers.push_back(
        {"tonvale_set_profile", tonvale, process, {}, toolCommand, fraction, sameFraction, {}, {}, {}});
    Client* pulse = nullptr;
    Client* pipewirePulse = nullptr;
    if (!o.pulseServer.empty() && !o.pulseClient.empty()) {
        std::map<std::string, std::string> env = {{"PULSE_SERVER", o.pulseServer}};
        auto [c, index] = addClient("pulseaudio", o.pulseClient, "peers-pulse-client", env);
        pulse = c;
        peers.push_back(
            {"pulseaudio_pactl", c, index, env, pactlCommand, rawVolume, sameRaw, {}, {}, {}});
    }
    if (!o.pipewirePulseServer.empty() && !o.pulseClient.empty()) {
        std::map<std::string, std::string> env = {{"PULSE_SERVER", o.pipewirePulseServer}};
        auto [c, index] = addClient("pipewire-pulse", o.pulseClient, "peers-pulse-client", env);
        pipewirePulse = c;
        peers.push_back(
            {"pipewire_pulse_pactl", c, index, env, pactlCommand, rawVolume, sameRaw, {}, {}, {}});
    }
    if (!o.pipewireRuntime.empty() && !o.pipewireClient.empty()) {
        std::map<std::string, std::string> env = {{"XDG_RUNTIME_DIR", o.pipewireRuntime},
                                                  {"PIPEWIRE_RUNTIME_DIR", o.pipewireRuntime}};
        auto [c, node] = addClient("pipewire", o.pipewireClient, "peers-pipewire-client", env);
        peers.push_back(
            {"pipewire_wpctl", c, node, env, wpctlCommand, fraction, cubedFraction, {}, {}, {}});
        peers.push_back({"wpctl_get_volume",
                         nullptr,
                         node,
                         env,
                         wpctlGetVolumeCommand,
                         fraction,
                         nullptr,
                         {},
                         {},
                         {}});
    }
    // Baselines in the same rounds: a bare process, the tool's start alone, the tool's start
    // with one lookup and transaction, and pactl's start with one request.
    peers.push_back({"true", nullptr, "", {}, trueCommand, fraction, nullptr, {}, {}, {}});
    peers.push_back({"tonvale_usage", nullptr, "", {}, usageCommand, fraction, nullptr, {}, {}, {}});
    peers.push_back(
        {"tonvale_ovr_status", nullptr, "", {}, ovrStatusCommand, fraction, nullptr, {}, {}, {}});
    if (pulse != nullptr) {
        peers.push_back({"pactl_info",
                         nullptr,
                         "",
                         {{"PULSE_SERVER", o.pulseServer}},
                         pactlInfoCommand,
                         fraction,
                         nullptr,
                         {},
                         {},
                         {}});
    }

    // Command rounds: every peer once per round, the starting peer rotating.
    const int total = o.warmup + o.rounds;
    for (int round = 0; round < total; ++round) {
        for (size_t j = 0; j < peers.size(); ++j) {
            runRound(peers[(round + j) % peers.size()], round, round >= o.warmup);
        }
    }
    printf(
        "# command start until the playing client sees the change: %d rounds (%d warm-up "
        "rounds dropped), %zu commands interleaved\n"
        "#   <peer>: the client has the new volume (tonvale: polls its block every 20 us; "
        "libpulse: change event, then the sink input's volume asked for; pw_stream: "
        "control_info)\n"
        "#   <peer>_event: libpulse's change event alone, before the client knows the value\n"
        "#   <peer>_exit: the command's process has ended; ratios are to tonvale's figure\n"
        "#   baseline_<command>_exit: commands with no change, timed until they end\n",
        o.rounds, o.warmup, peers.size());
    for (const Peer& p : peers) {
        if (p.client == nullptr) {
            printSamples("baseline_" + p.label + "_exit", p.exit, "ms", nullptr);
            continue;
        }
        const std::vector<double>* base = &p == &peers[0] ? nullptr : &peers[0].seen;
        printSamples("peers_" + p.label, p.seen, "ms", base);
        if (!p.event.empty()) {
            printSamples("peers_" + p.label + "_event", p.event, "ms",
                         base == nullptr ? nullptr : &peers[0].seen);
        }
        print("peers_" + p.label + "_exit_p50", percentile(p.exit, 0.5), "ms");
    }

    if (o.selfRounds == 0) {
        gClients.clear();
        return 0;
    }
    // Long-lived clients: each sets its own volume, no process start.
    std::vector<double> tonvaleBlock, tonvaleReply, rawBlock, rawReply;
    std::map<std::string, std::vector<double>> seen, ack, event;
    const int selfTotal = o.warmup + o.selfRounds;
    for (int round = 0; round < selfTotal; ++round) {
        const bool keep = round >= o.warmup;
        for (int step = 0; step < 4; ++step) {
            switch ((round + step) % 4) {
                case 0:
                case 1: {
                    // Two calls per round, each to a value the block does not hold yet.
                    const bool raw = (round + step) % 4 == 1;
                    tonvale->send((raw ? "SELFRAW " : "SELF ") + fraction(2 * round + raw));
                    std::vector<double> t = sinceStart(tonvale->expect("SELFDONE"));
                    if (keep) {
                        // The service rewrites the blocks before it replies, so the block
                        // changed by the reply at the latest, however late the watcher ran.
                        (raw ? rawReply : tonvaleReply).push_back(t.at(0));
                        (raw ? rawBlock : tonvaleBlock).push_back(std::min(t.at(0), t.at(1)));
                    }
                    break;
                }
                default: {
                    Client* c = (round + step) % 4 == 2 ? pulse : pipewirePulse;
                    if (c == nullptr) break;
                    c->send("SELF " + rawVolume(round));
                    std::vector<double> t = sinceStart(c->expect("SELFDONE"));
                    if (keep) {
                        ack[c->label()].push_back(t.at(0));
                        event[c->label()].push_back(t.at(1));
                        seen[c->label()].push_back(t.at(2));
                    }
                    break;
                }
            }
        }
    }
    printf(
        "# long-lived client changes its own volume: %d rounds (%d warm-up rounds dropped)\n"
        "#   tonvale: setProfile() (lookup and transaction) or the held interface (the "
        "transaction); _block: a spinning thread sees the block change; _reply: the call "
        "returned\n"
        "#   libpulse: pa_context_set_sink_input_volume(); _ack: its success callback; "
        "_event: the change event; _seen: the volume read back; ratios are to tonvale's "
        "setProfile() _block\n",
        o.selfRounds, o.warmup);
    printSamples("longlived_tonvale_set_profile_block", tonvaleBlock, "us", nullptr);
    printSamples("longlived_tonvale_set_profile_reply", tonvaleReply, "us", nullptr);
    printSamples("longlived_tonvale_held_interface_block", rawBlock, "us", nullptr);
    printSamples("longlived_tonvale_held_interface_reply", rawReply, "us", nullptr);
    for (const auto& [label, samples] : seen) {
        std::string name = "longlived_" + label + "_set_volume";
        for (char& ch : name) ch = ch == '-' ? '_' : ch;
        printSamples(name + "_seen", samples, "us", &tonvaleBlock);
        printSamples(name + "_event", event[label], "us", &tonvaleBlock);
        printSamples(name + "_ack", ack[label], "us", &tonvaleBlock);
    }
    gClients.clear();
    return 0;
}
