#pragma once

#include "core/audio/AudioPlatform.h"

namespace hh {

// An output with no device behind it: starting succeeds, nothing is pulled.
class NullAudioOutput : public AudioOutputStream {
public:
    void start(RenderCallback) override {}
    void resume() override {}
    void stop() override {}
};

} // namespace hh
