#include "core/audio/linux/LinuxAudioPlatform.h"
#include "core/audio/linux/NullAudioPlatform.h"
#include "core/audio/linux/SpeexConverter.h"

#include <sndfile.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace hh {

namespace {

// Delivers the file's samples as a microphone would: one 10 ms buffer each
// 10 ms, each once its time has passed, paced against a steady clock.
class FileInput : public AudioInputStream {
public:
    FileInput(const std::string& path, std::function<void()> onFileDelivered)
        : onFileDelivered(std::move(onFileDelivered)) {
        file = sf_open(path.c_str(), SFM_READ, &info);
        if (!file) throw AudioError("cannot read audio file " + path + ": " + sf_strerror(nullptr));
        if (info.samplerate <= 0 || info.channels <= 0) {
            sf_close(file);
            throw AudioError("cannot read audio file " + path + ": no audio in it");
        }
    }

    ~FileInput() override {
        stop();
        sf_close(file);
    }

    AudioFormat nativeFormat() override { return {double(info.samplerate), std::uint32_t(info.channels)}; }

    bool start(std::uint32_t, BufferCallback onBuffer) override {
        if (thread.joinable()) return true;
        if (sf_seek(file, 0, SEEK_SET) < 0) return false;
        {
            std::lock_guard lock(mutex);
            isStopping = false;
        }
        thread = std::thread([this, onBuffer = std::move(onBuffer)] { run(onBuffer); });
        return true;
    }

    void stop() override {
        if (!thread.joinable()) return;
        {
            std::lock_guard lock(mutex);
            isStopping = true;
        }
        wake.notify_all();
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach(); // stopped from its own callback: it ends once that returns
        else
            thread.join();
    }

private:
    void run(const BufferCallback& onBuffer) {
        const auto frames = std::max<sf_count_t>(1, info.samplerate / 100);
        const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(double(frames) / info.samplerate));
        std::vector<float> buffer(std::size_t(frames * info.channels));
        const AudioFormat format = nativeFormat();
        auto due = std::chrono::steady_clock::now();
        while (true) {
            const auto got = sf_readf_float(file, buffer.data(), frames);
            if (got <= 0) break;
            due += period;
            {
                std::unique_lock lock(mutex);
                if (wake.wait_until(lock, due, [this] { return isStopping; })) return;
            }
            onBuffer({std::span<const float>(buffer.data(), std::size_t(got * info.channels)), std::uint32_t(got), format});
        }
        if (onFileDelivered) onFileDelivered();
    }

    SF_INFO info{};
    SNDFILE* file = nullptr;
    std::function<void()> onFileDelivered;
    std::mutex mutex;
    std::condition_variable wake;
    bool isStopping = false;
    std::thread thread;
};

class FileInputAudioPlatform : public AudioPlatform {
public:
    FileInputAudioPlatform(const std::string& path, std::function<void()> onFileDelivered)
        : in(path, std::move(onFileDelivered)) {}

    AudioOutputStream& output() override { return out; }
    AudioInputStream& input() override { return in; }
    std::unique_ptr<AudioConverter> makeConverter(AudioFormat from) override { return SpeexConverter::make(from); }

private:
    NullAudioOutput out;
    FileInput in;
};

} // namespace

std::unique_ptr<AudioPlatform> makeFileInputAudioPlatform(const std::string& path, std::function<void()> onFileDelivered) {
    return std::make_unique<FileInputAudioPlatform>(path, std::move(onFileDelivered));
}

} // namespace hh
