#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hh {

// Opens the desktop's own settings for one of the two permissions: the
// anchors "Privacy_Microphone" (sound input) and "Privacy_LocalNetwork"
// (network connections). The desktops' settings programs are tried in turn,
// GNOME, KDE Plasma, then a generic mixer or connection editor; the first one
// installed is launched. With none installed nothing happens.
class PrivacySettings {
public:
    using Command = std::vector<std::string>;  // program name, then arguments

    // Finds a program by name, giving its full path.
    std::function<std::optional<std::string>(const std::string& program)> findProgram;
    // Starts the program (full path, then arguments) without waiting for it.
    std::function<void(const Command& command)> launch;

    // With the real PATH search and a detached launch.
    PrivacySettings();

    static std::string_view anchor(bool localNetwork);
    // The candidates for an anchor, in the order they are tried; none for an
    // anchor we do not know.
    static std::vector<Command> candidates(std::string_view anchor);

    // Launches the first installed candidate; returns whether one was found.
    bool openPrivacySettings(bool localNetwork) const;
};

// Looks `program` up in the colon-separated `path` like a shell would, except
// that empty and relative entries (the current directory) are skipped.
std::optional<std::string> findOnPath(const std::string& program, std::string_view path);

// Runs `command` (a full path, then arguments) in a new session, detached from
// us: we do not wait for it and leave no zombie behind. Returns false when it
// could not be started.
bool launchDetached(const PrivacySettings::Command& command);

} // namespace hh
