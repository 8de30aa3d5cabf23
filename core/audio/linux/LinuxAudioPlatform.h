#pragma once

#include "core/audio/AudioPlatform.h"

#include <functional>
#include <memory>
#include <string>

namespace hh {

// The sound server's default output and default input through libpulse's
// asynchronous API (also PipeWire desktops, through pipewire-pulse). The server
// named by PULSE_SERVER, or the user's default one, is used. Playback holds a
// stream only while there is audio, both streams follow the default devices,
// and a lost server is asked again every second; its health is reported.
std::unique_ptr<AudioPlatform> makePulseAudioPlatform();

// No sound device at all: the output accepts start() and pulls nothing, and
// capture is unavailable.
std::unique_ptr<AudioPlatform> makeNullAudioPlatform();

// An input that plays an audio file (any format, rate and channel count
// libsndfile reads) in real time as if it were the microphone, from the start
// at each capture start; the output is silent and pulls nothing. The file is
// opened here: AudioError (naming the path and the reason) if it cannot be read.
// `onFileDelivered` runs on the input's thread after the file's last buffer has
// been delivered; it must not stop the input itself (post that elsewhere).
std::unique_ptr<AudioPlatform> makeFileInputAudioPlatform(const std::string& path,
                                                          std::function<void()> onFileDelivered = {});

} // namespace hh
