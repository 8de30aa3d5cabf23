// Real sockets; runs only inside a lab host (see transport_lab.sh), never on the
// machine's own network.
#include "core/exec/AsioExecutor.h"
#include "core/net/Transport.h"
#include "core/net/linux/LinuxNetworkPlatform.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

namespace hh {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One transport on real sockets, recording what it sees.
class Instance {
public:
    Instance() : queue_(std::make_shared<AsioExecutor>("lab.transport")) {
        transport = std::make_shared<Transport>(queue_, makeLinuxNetworkPlatform(queue_->context()));
        transport->onPacket = [this](const WalkiePacket& p) {
            std::lock_guard lock(mutex_);
            packets_.push_back(p);
            changed_.notify_all();
        };
        transport->onState = [this](const Transport::State& s) {
            std::lock_guard lock(mutex_);
            states_.push_back(s);
            changed_.notify_all();
        };
    }
    ~Instance() {
        transport->stop();
        queue_->runAndWait([] {});
        transport.reset();
    }

    template <class Pred> bool waitFor(Pred pred, std::chrono::milliseconds timeout = 3000ms) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return pred(packets_, states_); });
    }
    bool waitReady() {
        return waitFor([](auto&, auto& states) {
            return !states.empty() && states.back() == Transport::State::ready();
        });
    }
    std::vector<WalkiePacket> packets() {
        std::lock_guard lock(mutex_);
        return packets_;
    }
    std::vector<Transport::State> states() {
        std::lock_guard lock(mutex_);
        return states_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        packets_.clear();
    }

    std::shared_ptr<Transport> transport;

private:
    std::shared_ptr<AsioExecutor> queue_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<WalkiePacket> packets_;
    std::vector<Transport::State> states_;
};

WalkiePacket packet(const Uuid& sender, std::uint32_t sequence, PacketType type = PacketType::audio) {
    WalkiePacket p;
    p.type = type;
    p.senderID = sender;
    p.sequence = sequence;
    if (type == PacketType::audio) p.payload.assign(640, std::uint8_t(sequence));
    return p;
}

// Sends raw bytes to the group, as a foreign or broken peer would.
void sendRaw(const Bytes& bytes) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    const unsigned char ttl = 1;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(WalkieConfig::multicastPort);
    inet_pton(AF_INET, "239.42.42.42", &to.sin_addr);
    ASSERT_EQ(::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              ssize_t(bytes.size()));
    ::close(fd);
}

TEST(TransportLab, TwoInstancesInOneNamespaceHearEachOther) {
    Instance a, b;
    a.transport->start();
    b.transport->start();
    ASSERT_TRUE(a.waitReady());
    ASSERT_TRUE(b.waitReady());
    const Uuid aID = Uuid::random(), bID = Uuid::random();
    for (std::uint32_t i = 0; i < 5; ++i) a.transport->send(packet(aID, i));
    b.transport->send(packet(bID, 99, PacketType::talkEnd));
    auto has = [](const Uuid& id, std::size_t n) {
        return [id, n](auto& packets, auto&) {
            std::size_t count = 0;
            for (auto& p : packets) count += p.senderID == id;
            return count >= n;
        };
    };
    EXPECT_TRUE(b.waitFor(has(aID, 5)));
    EXPECT_TRUE(a.waitFor(has(bID, 1)));
    // Loopback is on: a sender hears itself and leaves the filtering to its owner.
    EXPECT_TRUE(a.waitFor(has(aID, 5)));
    const auto got = b.packets();
    std::vector<std::uint32_t> sequences;
    for (auto& p : got)
        if (p.senderID == aID) sequences.push_back(p.sequence);
    EXPECT_EQ(sequences, (std::vector<std::uint32_t>{0, 1, 2, 3, 4}));
    for (auto& p : got)
        if (p.senderID == aID) {
            EXPECT_EQ(p.payload.size(), 640u);
        }
}

TEST(TransportLab, OversizedDatagramIsDroppedWholeAndMalformedOnesSilently) {
    Instance a;
    a.transport->start();
    ASSERT_TRUE(a.waitReady());
    const Uuid id = Uuid::random();
    auto big = packet(id, 1, PacketType::hello).encode();
    big.resize(2049, 0xAB);
    sendRaw(big);
    auto exact = packet(id, 2, PacketType::hello).encode();
    exact.resize(2048, 0xCD);
    Bytes shortOne(25, 1);
    Bytes v0 = packet(id, 3).encode(), v2 = v0, t4 = v0, t255 = v0;
    v0[0] = 0;
    v2[0] = 2;
    t4[1] = 4;
    t255[1] = 255;
    for (const auto& bad : {shortOne, v0, v2, t4, t255}) sendRaw(bad);
    sendRaw(exact);
    sendRaw(packet(id, 4, PacketType::talkEnd).encode());
    ASSERT_TRUE(a.waitFor([](auto& packets, auto&) { return packets.size() >= 2; }));
    std::this_thread::sleep_for(100ms);  // anything wrongly let through would be here by now
    const auto got = a.packets();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].sequence, 2u);
    EXPECT_EQ(got[0].payload.size(), 2048u - 26u);
    EXPECT_EQ(got[0].payload.back(), 0xCD);
    EXPECT_EQ(got[1].type, PacketType::talkEnd);
}

TEST(TransportLab, LinkDownAndUpRebuildsTheGroupAndDeliveryResumes) {
    Instance a, b;
    a.transport->start();
    b.transport->start();
    ASSERT_TRUE(a.waitReady());
    ASSERT_TRUE(b.waitReady());
    const Uuid id = Uuid::random();
    a.transport->send(packet(id, 0));
    ASSERT_TRUE(b.waitFor([](auto& packets, auto&) { return !packets.empty(); }));

    ASSERT_EQ(std::system("ip link set veth0 down"), 0);
    std::this_thread::sleep_for(300ms);
    const auto readyBefore = b.states().size();
    ASSERT_EQ(std::system("ip link set veth0 up && ip route replace 224.0.0.0/4 dev veth0"), 0);
    const auto upAt = Clock::now();
    // The return of the interface rebuilds the group: a fresh setup and ready.
    EXPECT_TRUE(b.waitFor([&](auto&, auto& states) {
        return states.size() >= readyBefore + 2 && states.back() == Transport::State::ready();
    }));
    b.clear();
    std::uint32_t sequence = 1;
    bool resumed = false;
    while (!resumed && Clock::now() - upAt < 3s) {
        a.transport->send(packet(id, sequence++));
        resumed = b.waitFor([](auto& packets, auto&) { return !packets.empty(); }, 50ms);
    }
    EXPECT_TRUE(resumed) << "no delivery within 3 s of the link coming back";
    std::printf("delivery resumed %lld ms after the link came up\n",
                (long long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - upAt).count());
}

} // namespace
} // namespace hh
