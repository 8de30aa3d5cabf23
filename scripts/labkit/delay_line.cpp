// hh-delay-line: field conditions for a lab host, as a userspace stage behind
// iptables' NFQUEUE target (the lab kernel has no netem). Each queued packet
// is dropped at random or held, then accepted:
//   --hold MS      until the next multiple of MS on the monotonic clock (a
//                  Wi-Fi access point holding multicast to its DTIM beacon)
//   --mean MS --sd MS   for a Gaussian delay, never below zero (it reorders)
//   --loss PCT     speech packets dropped at random (only speech: a talker
//                  picks its encoding from announcements the loss must not sway)
//   --burst N      each loss takes N speech packets in a row (Wi-Fi loses a few at once)
// On SIGUSR1 it writes "packets N dropped N audio N audio-dropped N" to
// --stats FILE (audio: our speech packets, uncompressed or compressed, told by their type byte); on SIGTERM
// or SIGINT the same, and it exits.
//   iptables -A INPUT -p udp --dport 54321 -j NFQUEUE --queue-num 0
//   hh-delay-line --queue 0 --hold 204.8 --loss 2 --stats FILE
#include <netinet/in.h>
// After <netinet/in.h>, whose definitions the kernel headers then leave alone.
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <queue>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    int queue = 0;
    double holdMs = 0, meanMs = 0, sdMs = 0, lossPercent = 0;
    int burst = 1;
    unsigned seed = std::random_device{}();
    std::string stats;
};

struct Held {
    Clock::time_point due;
    std::uint64_t order;
    std::uint32_t id;
    bool operator>(const Held& o) const { return due != o.due ? due > o.due : order > o.order; }
};

struct Line {
    Options options;
    std::mt19937_64 random;
    std::priority_queue<Held, std::vector<Held>, std::greater<>> held;
    std::uint64_t order = 0;
    int burstLeft = 0;  // packets still to lose in this burst
    std::uint64_t packets = 0, dropped = 0, audio = 0, audioDropped = 0;
    nfq_q_handle* queue = nullptr;

    Clock::time_point release(Clock::time_point now) {
        auto due = now;
        if (options.sdMs > 0 || options.meanMs > 0) {
            const double ms = std::max(0.0, std::normal_distribution<double>(options.meanMs, options.sdMs)(random));
            due += std::chrono::microseconds(std::int64_t(ms * 1000));
        }
        if (options.holdMs > 0) {
            const auto period = std::chrono::microseconds(std::int64_t(options.holdMs * 1000));
            const auto since = due.time_since_epoch();
            due = Clock::time_point((since / period + 1) * period);
        }
        return due;
    }

    void arrive(std::uint32_t id, const unsigned char* data, int length) {
        ++packets;
        // IPv4, UDP, then our header: version, type (0 is audio).
        bool isAudio = false;
        if (length >= 20 && (data[0] >> 4) == 4) {
            const int ipLength = (data[0] & 0x0f) * 4;
            const auto type = length >= ipLength + 8 + 2 ? data[ipLength + 8 + 1] : 0xFF;
            isAudio = data[9] == IPPROTO_UDP && (type == 0 || type == 4);
        }
        audio += isAudio;
        if (isAudio && burstLeft == 0 && std::uniform_real_distribution<double>(0, 100)(random) < options.lossPercent)
            burstLeft = options.burst;
        if (isAudio && burstLeft > 0) {
            --burstLeft;
            ++dropped;
            audioDropped += isAudio;
            nfq_set_verdict(queue, id, NF_DROP, 0, nullptr);
            return;
        }
        held.push({release(Clock::now()), order++, id});
    }

    void releaseDue() {
        const auto now = Clock::now();
        while (!held.empty() && held.top().due <= now) {
            nfq_set_verdict(queue, held.top().id, NF_ACCEPT, 0, nullptr);
            held.pop();
        }
    }

    // Whole or not at all: written aside, then renamed.
    void writeStats() const {
        if (options.stats.empty()) return;
        const auto aside = options.stats + ".new";
        std::ofstream(aside) << "packets " << packets << " dropped " << dropped << " audio " << audio
                             << " audio-dropped " << audioDropped << '\n';
        std::rename(aside.c_str(), options.stats.c_str());
    }

    int timeoutMs() const {
        if (held.empty()) return -1;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(held.top().due - Clock::now()).count();
        return int(std::max<std::int64_t>(0, left));
    }
};

int onPacket(nfq_q_handle*, nfgenmsg*, nfq_data* nfa, void* data) {
    auto* line = static_cast<Line*>(data);
    const auto* header = nfq_get_msg_packet_hdr(nfa);
    if (!header) return 0;
    unsigned char* payload = nullptr;
    const int length = nfq_get_payload(nfa, &payload);
    line->arrive(ntohl(header->packet_id), payload, std::max(length, 0));
    return 0;
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: hh-delay-line [--queue N] [--hold MS] [--mean MS --sd MS] [--loss PCT] [--burst N] "
                         "[--seed N] [--stats FILE]\n");
    std::exit(2);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) usage();
        const char* v = argv[++i];
        if (a == "--queue") o.queue = std::atoi(v);
        else if (a == "--hold") o.holdMs = std::atof(v);
        else if (a == "--mean") o.meanMs = std::atof(v);
        else if (a == "--sd") o.sdMs = std::atof(v);
        else if (a == "--loss") o.lossPercent = std::atof(v);
        else if (a == "--burst") o.burst = std::max(1, std::atoi(v));
        else if (a == "--seed") o.seed = unsigned(std::strtoul(v, nullptr, 10));
        else if (a == "--stats") o.stats = v;
        else usage();
    }
    return o;
}

} // namespace

int main(int argc, char** argv) {
    Line line;
    line.options = parse(argc, argv);
    line.random.seed(line.options.seed);

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    std::unique_ptr<nfq_handle, decltype(&nfq_close)> handle(nfq_open(), &nfq_close);
    if (!handle || signalFd < 0) {
        std::perror("hh-delay-line");
        return 1;
    }
    line.queue = nfq_create_queue(handle.get(), std::uint16_t(line.options.queue), &onPacket, &line);
    if (!line.queue || nfq_set_mode(line.queue, NFQNL_COPY_PACKET, 64) < 0) {
        std::fprintf(stderr, "hh-delay-line: cannot bind queue %d\n", line.options.queue);
        return 1;
    }
    nfq_set_queue_maxlen(line.queue, 4096);
    std::fprintf(stderr, "hh-delay-line: ready\n");

    const int fd = nfq_fd(handle.get());
    std::vector<char> buffer(65536);
    bool isRunning = true;
    while (isRunning) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {signalFd, POLLIN, 0}};
        if (poll(fds, 2, line.timeoutMs()) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            const auto n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n > 0) nfq_handle_packet(handle.get(), buffer.data(), int(n));
        }
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(signalFd, &info, sizeof info) == sizeof info && info.ssi_signo != SIGUSR1) isRunning = false;
            line.writeStats();
        }
        line.releaseDue();
    }
    // What is still held goes through, so the host is not left without traffic.
    while (!line.held.empty()) {
        nfq_set_verdict(line.queue, line.held.top().id, NF_ACCEPT, 0, nullptr);
        line.held.pop();
    }
    nfq_destroy_queue(line.queue);
    close(signalFd);
    return 0;
}
