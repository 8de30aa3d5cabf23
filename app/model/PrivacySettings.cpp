#include "app/model/PrivacySettings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace hh {

namespace {
constexpr std::string_view microphoneAnchor = "Privacy_Microphone";
constexpr std::string_view localNetworkAnchor = "Privacy_LocalNetwork";
} // namespace

PrivacySettings::PrivacySettings()
    : findProgram([](const std::string& program) {
          const char* path = std::getenv("PATH");
          return findOnPath(program, path ? path : "/usr/local/bin:/usr/bin:/bin");
      }),
      launch([](const Command& command) { launchDetached(command); }) {}

std::string_view PrivacySettings::anchor(bool localNetwork) {
    return localNetwork ? localNetworkAnchor : microphoneAnchor;
}

std::vector<PrivacySettings::Command> PrivacySettings::candidates(std::string_view anchor) {
    if (anchor == microphoneAnchor) {
        return {
            {"gnome-control-center", "sound"},
            {"systemsettings", "kcm_pulseaudio"},
            {"pavucontrol", "--tab=4"},  // its "Input Devices" tab
        };
    }
    if (anchor == localNetworkAnchor) {
        return {
            {"gnome-control-center", "network"},
            {"systemsettings", "kcm_networkmanagement"},
            {"nm-connection-editor"},
        };
    }
    return {};
}

bool PrivacySettings::openPrivacySettings(bool localNetwork) const {
    for (Command command : candidates(anchor(localNetwork))) {
        auto path = findProgram ? findProgram(command.front()) : std::nullopt;
        if (!path) continue;
        command.front() = *path;
        if (launch) launch(command);
        return true;
    }
    return false;
}

std::optional<std::string> findOnPath(const std::string& program, std::string_view path) {
    if (program.empty() || program.find('/') != std::string::npos) return std::nullopt;
    while (true) {
        const auto colon = path.find(':');
        const std::string_view directory = path.substr(0, colon);
        if (!directory.empty() && directory.front() == '/') {
            std::string candidate(directory);
            if (candidate.back() != '/') candidate += '/';
            candidate += program;
            struct stat info {};
            if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        if (colon == std::string_view::npos) return std::nullopt;
        path.remove_prefix(colon + 1);
    }
}

bool launchDetached(const PrivacySettings::Command& command) {
    if (command.empty() || command.front().empty() || command.front().front() != '/') return false;
    // Everything the children need is prepared before forking: between fork and
    // exec only async-signal-safe calls are allowed.
    std::vector<char*> argv;
    for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    // The intermediate child exits at once, so the program is adopted by init
    // and never becomes our zombie. Its exit status says whether exec worked,
    // reported through a close-on-exec pipe.
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return false;
    const pid_t child = fork();
    if (child < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return false;
    }
    if (child == 0) {
        close(pipeFds[0]);
        setsid();
        const pid_t grandchild = fork();
        if (grandchild == 0) {
            const int devNull = open("/dev/null", O_RDWR);
            if (devNull >= 0) {
                dup2(devNull, STDIN_FILENO);
                dup2(devNull, STDOUT_FILENO);
                if (devNull > STDOUT_FILENO) close(devNull);
            }
            execv(argv[0], argv.data());
            const char failed = 1;
            [[maybe_unused]] auto n = write(pipeFds[1], &failed, 1);
            _exit(127);
        }
        _exit(grandchild < 0 ? 1 : 0);
    }
    close(pipeFds[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // Exec succeeded when the pipe closes without a byte (close-on-exec).
    char failed = 0;
    ssize_t n;
    while ((n = read(pipeFds[0], &failed, 1)) < 0 && errno == EINTR) {
    }
    close(pipeFds[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

} // namespace hh
