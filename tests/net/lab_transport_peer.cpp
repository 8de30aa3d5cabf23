// A transport on real sockets for the lab scripts:
//   lab_transport_peer send N    waits until joined, sends N talkStart packets named "lab", 20 ms apart
#include "core/exec/AsioExecutor.h"
#include "core/net/Transport.h"
#include "core/net/linux/LinuxNetworkPlatform.h"

#include <future>
#include <iostream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    if (argc != 3 || std::string(argv[1]) != "send") {
        std::cerr << "usage: lab_transport_peer send N\n";
        return 2;
    }
    const int count = std::stoi(argv[2]);
    auto queue = std::make_shared<hh::AsioExecutor>("lab.peer");
    auto transport = std::make_shared<hh::Transport>(queue, hh::makeLinuxNetworkPlatform(queue->context()));
    std::promise<void> ready;
    bool isReady = false;
    transport->onState = [&](const hh::Transport::State& s) {
        if (s == hh::Transport::State::ready() && !isReady) {
            isReady = true;
            ready.set_value();
        }
    };
    transport->start();
    if (ready.get_future().wait_for(std::chrono::seconds(5)) != std::future_status::ready) return 1;
    const auto id = hh::Uuid::random();
    for (int i = 0; i < count; ++i) {
        hh::WalkiePacket p;
        p.type = hh::PacketType::talkStart;
        p.senderID = id;
        p.sequence = std::uint32_t(i);
        p.payload = {'l', 'a', 'b'};
        transport->send(p);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    transport->stop();
    queue->runAndWait([] {});
    return 0;
}
