#include "core/net/linux/LinuxNetworkPlatform.h"

#include "core/log/Log.h"
#include "core/net/linux/NetworkInterfaces.h"

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>

#include <array>
#include <optional>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/filter.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

namespace hh {
namespace {

std::string errorText(int error) {
    char buffer[256];
    // The GNU strerror_r returns the message, which may not be in `buffer`.
    return strerror_r(error, buffer, sizeof buffer);
}

// A socket filter that drops, in the kernel, the open channel's audio packets
// (types 0 and 4) from `sender`: our own, looped back, then never wake us. The
// filter sees the datagram behind its 8-byte UDP header; anything else passes.
bool attachOwnAudioFilter(int fd, const Uuid& sender) {
    const auto word = [&](std::size_t i) {
        return std::uint32_t(sender.bytes[i]) << 24 | std::uint32_t(sender.bytes[i + 1]) << 16 |
               std::uint32_t(sender.bytes[i + 2]) << 8 | std::uint32_t(sender.bytes[i + 3]);
    };
    constexpr std::uint32_t udp = 8, pass = 0xFFFFFFFF;
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_LEN, 0),
        BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, udp + WalkiePacket::headerSize, 0, 13),  // too short to be audio
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, udp),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, WalkieConfig::protocolVersion, 0, 11),
        BPF_STMT(BPF_LD | BPF_B | BPF_ABS, udp + 1),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, std::uint32_t(PacketType::audio), 1, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, std::uint32_t(PacketType::opus), 0, 8),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, udp + 2),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, word(0), 0, 6),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, udp + 6),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, word(4), 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, udp + 10),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, word(8), 0, 2),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, udp + 14),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, word(12), 1, 0),
        BPF_STMT(BPF_RET | BPF_K, pass),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    const sock_fprog program{std::uint16_t(std::size(code)), code};
    return ::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

// The socket and its handlers live here, shared with pending operations, so the
// MulticastGroup handle can go at any time while a wait is outstanding.
class GroupCore : public std::enable_shared_from_this<GroupCore> {
public:
    GroupCore(asio::io_context& context, sockaddr_in group) : context_(context), descriptor_(context), group_(group) {}

    MulticastGroup::ReceiveHandler receiveHandler;
    MulticastGroup::StateHandler stateHandler;
    std::size_t maximumMessageSize = 2048;
    std::optional<Uuid> ignoredAudioSender;

    void start() {
        asio::post(context_, [self = shared_from_this()] { self->open(); });
    }

    void send(const Bytes& content, const std::string& destination) {
        if (fd_ < 0) return;
        sockaddr_in to = group_;
        if (!destination.empty() && ::inet_pton(AF_INET, destination.c_str(), &to.sin_addr) != 1) {
            sendFailure_.failed("not an IPv4 address: " + destination);
            return;
        }
        // Never blocks; a full socket buffer or a vanished route just loses the datagram.
        if (::sendto(fd_, content.data(), content.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0)
            sendFailure_.failed(errorText(errno));
        else
            sendFailure_.succeeded();
    }

    asio::io_context& context() { return context_; }

    void cancel(bool report) {
        if (isCancelled_) return;
        isCancelled_ = true;
        close();
        if (report)
            asio::post(context_, [self = shared_from_this()] { self->report({GroupState::Kind::cancelled, {}}); });
        else
            stateHandler = nullptr;
        receiveHandler = nullptr;
    }

private:
    void report(const GroupState& state) {
        if (stateHandler) stateHandler(state);
    }

    void fail(int error) {
        close();
        report({GroupState::Kind::failed, errorText(error), error == EPERM || error == EACCES});
    }

    void open() {
        if (isCancelled_) return;
        report({GroupState::Kind::setup, {}});
        if (isCancelled_) return;
        const auto interface = linuxnet::primaryInterface();
        if (!interface) return report({GroupState::Kind::waiting, "no network connection", false, true});

        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) return fail(errno);
        fd_ = fd;
        descriptor_.assign(fd);
        // Without it the transport drops them after reading: only dearer.
        if (ignoredAudioSender && !attachOwnAudioFilter(fd, *ignoredAudioSender))
            HH_LOG_DEBUG(logcat::net, "no socket filter for our own audio: " << errorText(errno));

        const int on = 1, off = 0;
        const unsigned char ttl = 1;
        ip_mreqn membership{};
        membership.imr_multiaddr = group_.sin_addr;
        membership.imr_ifindex = int(interface->index);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = group_.sin_port;
        local.sin_addr.s_addr = htonl(INADDR_ANY);

        if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return fail(errno);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return fail(errno);
        // Only our group's datagrams, not those of every group some other socket joined.
        if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) != 0) return fail(errno);
        if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
            return fail(errno);
        ip_mreqn sendOn{};
        sendOn.imr_ifindex = membership.imr_ifindex;
        if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &sendOn, sizeof sendOn) != 0) return fail(errno);
        // Audio never leaves the link; instances on this host hear each other.
        if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) return fail(errno);
        if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on) != 0) return fail(errno);
        // The destination of each datagram tells a direct spurt from the group's.
        if (::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) return fail(errno);
        if (interface) {
            localAddress_ = interface->address;
            localMask_ = interface->netmask;
        }

        slotSize_ = maximumMessageSize + 1;
        buffer_.assign(slotSize_ * batchSize, 0);
        vectors_.resize(batchSize);
        messages_.resize(batchSize);
        sources_.resize(batchSize);
        controls_.resize(batchSize);
        for (std::size_t i = 0; i < batchSize; ++i) {
            vectors_[i] = {buffer_.data() + i * slotSize_, slotSize_};
            messages_[i] = {};
            messages_[i].msg_hdr.msg_iov = &vectors_[i];
            messages_[i].msg_hdr.msg_iovlen = 1;
        }
        HH_LOG_INFO(logcat::net, "joined the group on " << interface->name);
        report({GroupState::Kind::ready, {}});
        waitForDatagrams();
    }

    void waitForDatagrams() {
        if (isCancelled_ || fd_ < 0) return;
        descriptor_.async_wait(asio::posix::descriptor_base::wait_read,
                               [weak = weak_from_this()](const std::error_code& ec) {
                                   auto self = weak.lock();
                                   if (!self || ec || self->isCancelled_) return;
                                   self->drain();
                                   self->waitForDatagrams();
                               });
    }

    // Reads what is queued, a batch per system call. The buffers are one byte
    // longer than the limit, so a longer datagram shows as truncated and is
    // dropped whole rather than cut.
    void drain() {
        for (int round = 0; round < 8 && fd_ >= 0 && !isCancelled_; ++round) {
            for (std::size_t i = 0; i < messages_.size(); ++i) {
                // recvmmsg shortens these to what it filled in.
                auto& header = messages_[i].msg_hdr;
                header.msg_name = &sources_[i];
                header.msg_namelen = sizeof sources_[i];
                header.msg_control = controls_[i].data();
                header.msg_controllen = controls_[i].size();
            }
            const int n = ::recvmmsg(fd_, messages_.data(), unsigned(messages_.size()), MSG_DONTWAIT, nullptr);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno != EAGAIN) HH_LOG_DEBUG(logcat::net, "receiving: " << errorText(errno));
                return;  // EAGAIN: all read
            }
            for (int i = 0; i < n && !isCancelled_; ++i) {
                auto& m = messages_[std::size_t(i)];
                const bool isOversized = (m.msg_hdr.msg_flags & MSG_TRUNC) || m.msg_len > maximumMessageSize;
                if (isOversized) continue;
                const std::size_t length = std::min<std::size_t>(m.msg_len, maximumMessageSize);
                const auto origin = originOf(m.msg_hdr, sources_[std::size_t(i)]);
                if (!origin) continue;
                if (receiveHandler)
                    receiveHandler(std::span<const std::uint8_t>(buffer_.data() + std::size_t(i) * slotSize_, length), *origin);
            }
            if (std::size_t(n) < messages_.size()) return;
        }
        // Anything still queued is read after the executor's other tasks had a turn.
    }

    // Where a datagram came from; none for one sent directly to us from outside
    // the local subnet, which no peer on this link sends.
    std::optional<DatagramOrigin> originOf(msghdr& header, const sockaddr_in& source) {
        DatagramOrigin origin;
        if (header.msg_namelen >= sizeof(sockaddr_in)) origin.sourceAddress = addressText(source.sin_addr);
        for (auto* c = CMSG_FIRSTHDR(&header); c; c = CMSG_NXTHDR(&header, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
            in_pktinfo info;
            std::memcpy(&info, CMSG_DATA(c), sizeof info);
            origin.isDirect = !IN_MULTICAST(ntohl(info.ipi_addr.s_addr));
        }
        if (origin.isDirect && localMask_.s_addr != 0 &&
            (source.sin_addr.s_addr & localMask_.s_addr) != (localAddress_.s_addr & localMask_.s_addr)) {
            HH_LOG_DEBUG(logcat::net, "dropped a datagram sent to us directly from outside the subnet: " << origin.sourceAddress);
            return std::nullopt;
        }
        return origin;
    }

    // A spurt is one sender's datagrams in a row (our own, looped back, while
    // we talk): its address is formatted when the sender changes, not per datagram.
    const std::string& addressText(in_addr address) {
        if (address.s_addr != lastSource_.s_addr || lastSourceText_.empty()) {
            char text[INET_ADDRSTRLEN] = {};
            lastSource_ = address;
            lastSourceText_ = ::inet_ntop(AF_INET, &address, text, sizeof text) ? text : "";
        }
        return lastSourceText_;
    }

    void close() {
        if (fd_ < 0) return;
        std::error_code ignored;
        descriptor_.cancel(ignored);
        descriptor_.close(ignored);  // closes fd_
        fd_ = -1;
    }

    asio::io_context& context_;
    asio::posix::stream_descriptor descriptor_;
    sockaddr_in group_;
    int fd_ = -1;
    bool isCancelled_ = false;
    FailureLog sendFailure_{logcat::net, "sending"};
    static constexpr std::size_t batchSize = 32;
    std::size_t slotSize_ = 0;
    Bytes buffer_;
    std::vector<iovec> vectors_;
    std::vector<mmsghdr> messages_;
    std::vector<sockaddr_in> sources_;
    std::vector<std::array<char, CMSG_SPACE(sizeof(in_pktinfo))>> controls_;
    // The joined interface's address and mask: direct datagrams from outside are dropped.
    in_addr localAddress_{};
    in_addr localMask_{};
    in_addr lastSource_{};
    std::string lastSourceText_;
};

class LinuxMulticastGroup final : public MulticastGroup {
public:
    LinuxMulticastGroup(asio::io_context& context, sockaddr_in group)
        : core_(std::make_shared<GroupCore>(context, group)) {}
    // Released without cancel: close quietly, on the socket's own thread.
    ~LinuxMulticastGroup() override {
        auto& context = core_->context();
        if (context.get_executor().running_in_this_thread())
            core_->cancel(false);
        else
            asio::post(context, [core = core_] { core->cancel(false); });
    }

    void setReceiveHandler(std::size_t maximumMessageSize, ReceiveHandler handler) override {
        core_->maximumMessageSize = maximumMessageSize;
        core_->receiveHandler = std::move(handler);
    }
    void setStateUpdateHandler(StateHandler handler) override { core_->stateHandler = std::move(handler); }
    void start() override { core_->start(); }
    void ignoreAudioFrom(const Uuid& sender) override { core_->ignoredAudioSender = sender; }
    void send(Bytes content, const std::string& destination) override { core_->send(content, destination); }
    void cancel() override { core_->cancel(true); }

private:
    std::shared_ptr<GroupCore> core_;
};

// Watches links, IPv4 addresses and routes; on any change reports the path as
// the usable interfaces are now.
class MonitorCore : public std::enable_shared_from_this<MonitorCore> {
public:
    explicit MonitorCore(asio::io_context& context) : context_(context), descriptor_(context) {}
    asio::io_context& context() { return context_; }

    PathMonitor::UpdateHandler handler;

    void start() {
        asio::post(context_, [self = shared_from_this()] { self->open(); });
    }

    void cancel() {
        isCancelled_ = true;
        handler = nullptr;
        std::error_code ignored;
        descriptor_.cancel(ignored);
        descriptor_.close(ignored);
    }

private:
    void open() {
        if (isCancelled_) return;
        const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (fd >= 0) {
            sockaddr_nl address{};
            address.nl_family = AF_NETLINK;
            address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
                descriptor_.assign(fd);
            } else {
                HH_LOG_WARNING(logcat::net, "not watching network changes: " << errorText(errno));
                ::close(fd);
            }
        } else {
            HH_LOG_WARNING(logcat::net, "not watching network changes: " << errorText(errno));
        }
        // Without netlink the first report still describes the network.
        reportPath();
        waitForChanges();
    }

    void waitForChanges() {
        if (isCancelled_ || !descriptor_.is_open()) return;
        descriptor_.async_wait(asio::posix::descriptor_base::wait_read,
                               [weak = weak_from_this()](const std::error_code& ec) {
                                   auto self = weak.lock();
                                   if (!self || ec || self->isCancelled_) return;
                                   self->drain();
                                   self->reportPath();
                                   self->waitForChanges();
                               });
    }

    void drain() {
        char buffer[8192];
        for (;;) {
            const ssize_t n = ::recv(descriptor_.native_handle(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) continue;
            if (n < 0 && errno == EINTR) continue;
            return;  // EAGAIN, or ENOBUFS after an overrun: the report below reads the state afresh
        }
    }

    void reportPath() {
        if (isCancelled_ || !handler) return;
        NetworkPath path;
        path.availableInterfaces = linuxnet::usableInterfaceNames();
        path.isSatisfied = !path.availableInterfaces.empty();
        if (!path.isSatisfied) path.availableInterfaces.clear();
        handler(path);
    }

    asio::io_context& context_;
    asio::posix::stream_descriptor descriptor_;
    bool isCancelled_ = false;
};

class LinuxPathMonitor final : public PathMonitor {
public:
    explicit LinuxPathMonitor(asio::io_context& context) : core_(std::make_shared<MonitorCore>(context)) {}
    ~LinuxPathMonitor() override {
        auto& context = core_->context();
        if (context.get_executor().running_in_this_thread())
            core_->cancel();
        else
            asio::post(context, [core = core_] { core->cancel(); });
    }
    void setPathUpdateHandler(UpdateHandler handler) override { core_->handler = std::move(handler); }
    void start() override { core_->start(); }
    void cancel() override { core_->cancel(); }

private:
    std::shared_ptr<MonitorCore> core_;
};

class LinuxNetworkPlatform final : public NetworkPlatform {
public:
    explicit LinuxNetworkPlatform(std::shared_ptr<AsioExecutor> queue) : queue_(std::move(queue)), context_(queue_->context()) {}

    std::shared_ptr<Executor> queue() const override { return queue_; }

    std::unique_ptr<MulticastGroup> makeMulticastGroup(std::string_view host, std::uint16_t port) override {
        sockaddr_in group{};
        group.sin_family = AF_INET;
        group.sin_port = htons(port);
        const std::string text(host);
        if (::inet_pton(AF_INET, text.c_str(), &group.sin_addr) != 1 || !IN_MULTICAST(ntohl(group.sin_addr.s_addr)))
            throw NetworkError("\"" + text + "\" is not an IPv4 multicast address");
        return std::make_unique<LinuxMulticastGroup>(context_, group);
    }

    std::unique_ptr<PathMonitor> makePathMonitor() override { return std::make_unique<LinuxPathMonitor>(context_); }

private:
    std::shared_ptr<AsioExecutor> queue_;
    asio::io_context& context_;
};

} // namespace

std::shared_ptr<NetworkPlatform> makeLinuxNetworkPlatform(std::shared_ptr<AsioExecutor> queue) {
    return std::make_shared<LinuxNetworkPlatform>(std::move(queue));
}

} // namespace hh
