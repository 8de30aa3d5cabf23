// How many datagrams per second one transport receives and decodes: a raw
// socket floods the group over loopback while the transport counts; with
// "private" as the second argument, on a private channel, every datagram sealed.
// Runs only inside a lab host (bench/transport.sh).
#include "core/exec/AsioExecutor.h"
#include "core/net/Transport.h"
#include "core/net/linux/LinuxNetworkPlatform.h"

#include <arpa/inet.h>
#include <atomic>
#include <optional>
#include <string_view>
#include <cstdio>
#include <ctime>
#include <future>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

int main(int argc, char** argv) {
    using Clock = std::chrono::steady_clock;
    const int total = argc > 1 ? std::atoi(argv[1]) : 300000;
    const bool isPrivate = argc > 2 && std::string_view(argv[2]) == "private";
    const auto channel = isPrivate ? hh::Channel::makePrivate("Bench", "bench words") : hh::Channel();
    auto queue = std::make_shared<hh::AsioExecutor>("bench.transport");
    auto transport = std::make_shared<hh::Transport>(hh::makeLinuxNetworkPlatform(queue));
    transport->setChannel(channel);
    std::atomic<int> received{0};
    std::atomic<std::int64_t> firstNs{0}, lastNs{0};
    std::promise<void> ready;
    std::atomic<bool> isReady{false};
    transport->onState = [&](const hh::Transport::State& s) {
        if (s == hh::Transport::State::ready() && !isReady.exchange(true)) ready.set_value();
    };
    // The transport's own thread time tells its capacity whatever else the
    // machine is doing (the sender shares it).
    std::atomic<std::int64_t> firstCpuNs{0}, lastCpuNs{0};
    auto threadCpuNs = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
    };
    transport->onPacket = [&](const hh::WalkiePacket&, const hh::DatagramOrigin&) {
        const auto now = Clock::now().time_since_epoch().count();
        const auto cpu = threadCpuNs();
        if (received++ == 0) {
            firstNs = now;
            firstCpuNs = cpu;
        }
        lastNs = now;
        lastCpuNs = cpu;
    };
    transport->start();
    if (ready.get_future().wait_for(std::chrono::seconds(5)) != std::future_status::ready) return 1;

    hh::WalkiePacket p;
    p.senderID = hh::Uuid::random();
    p.payload.assign(640, 0x11);
    const auto plain = p.encode();
    std::optional<hh::PacketSealer> sealer;
    if (channel.isPrivate()) sealer.emplace(channel.key());
    auto bytes = sealer ? sealer->seal(plain) : plain;
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const unsigned char ttl = 1;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(hh::WalkieConfig::multicastPort);
    inet_pton(AF_INET, channel.multicastHost().c_str(), &to.sin_addr);
    for (int i = 0; i < total; ++i) {
        // Each sealed anew: a repeat would be dropped as a replay.
        if (sealer) bytes = sealer->seal(plain);
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    transport->stop();
    queue->runAndWait([] {});

    const double seconds = double(lastNs - firstNs) / 1e9;
    const double cpuSeconds = double(lastCpuNs - firstCpuNs) / 1e9;
    const int n = received;
    std::printf("transport receive+decode%s: %d of %d datagrams of %zu bytes in %.3f s wall = %.0f datagrams/s "
                "with the sender on the same machine; %.3f s of the transport thread's CPU = %.0f datagrams/s "
                "per core (target >= 100000; real load 50/s)\n",
                isPrivate ? " on a private channel (open, replay check, decode)" : "", n, total, bytes.size(), seconds, seconds > 0 ? (n - 1) / seconds : 0.0, cpuSeconds,
                cpuSeconds > 0 ? (n - 1) / cpuSeconds : 0.0);
    return 0;
}
