#pragma once

// An in-memory DNS-SD platform for tests: it records what its users create,
// start and cancel, and lets the test play the network's part (browse results,
// browser states, incoming connections). Handlers run on the caller's thread,
// which in tests is the thread running the ManualExecutor.

#include "core/net/DnsSdPlatform.h"

#include <memory>
#include <string>
#include <vector>

namespace hh {

class FakeDnsSdPlatform final : public DnsSdPlatform {
public:
    explicit FakeDnsSdPlatform(std::shared_ptr<Executor> queue) : queue_(std::move(queue)) {}
    std::shared_ptr<Executor> queue() const override { return queue_; }

    class Connection final : public DnsSdConnection {
    public:
        void cancel() override { isCancelled = true; }
        bool isCancelled = false;
    };

    class Listener final : public DnsSdListener {
    public:
        Listener(FakeDnsSdPlatform& platform, int number) : number(number), platform_(platform) {}
        void start() override;
        void cancel() override;
        // An incoming connection, handed to onNewConnection while the listener runs.
        std::shared_ptr<Connection> connect();

        const int number;  // 1 for the first listener made, and so on
        bool isStarted = false;
        bool isCancelled = false;

    private:
        FakeDnsSdPlatform& platform_;
    };

    class Browser final : public DnsSdBrowser {
    public:
        Browser(FakeDnsSdPlatform& platform, int number) : number(number), platform_(platform) {}
        void start() override;
        void cancel() override;
        // Delivered only while started and not cancelled, as a real browser would.
        void deliverResults(std::vector<DnsSdBrowseResult> results);
        void deliverState(DnsSdBrowserState state);

        const int number;
        bool isStarted = false;
        bool isCancelled = false;

    private:
        FakeDnsSdPlatform& platform_;
    };

    std::shared_ptr<DnsSdListener> makeListener() override;
    std::shared_ptr<DnsSdBrowser> makeBrowser(const std::string& type, const std::string& domain) override;

    // Service results named `names`, in that order.
    static std::vector<DnsSdBrowseResult> results(const std::vector<std::string>& names);

    // When set, makeListener() throws as a platform without a free socket would.
    bool isListenerCreationFailing = false;

    std::vector<std::shared_ptr<Listener>> listeners;  // every listener made, in order
    std::vector<std::shared_ptr<Browser>> browsers;    // every browser made, in order

private:
    std::shared_ptr<Executor> queue_;
public:
    // Every call in order, e.g. "make listener 1", "start browser 1", "cancel listener 1".
    std::vector<std::string> log;
};

} // namespace hh
