#include "app/model/PrivacySettings.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace hh {
namespace {

using ::testing::ElementsAre;
using Command = PrivacySettings::Command;

TEST(PrivacySettingsTest, LaunchesTheFirstInstalledCandidateOrNothing) {
    std::set<std::string> installed;
    std::vector<Command> launched;
    PrivacySettings settings;
    settings.findProgram = [&](const std::string& p) -> std::optional<std::string> {
        if (!installed.count(p)) return std::nullopt;
        return "/usr/bin/" + p;
    };
    settings.launch = [&](const Command& c) { launched.push_back(c); };

    // The desktop's own panel first; each falls back to the next one installed.
    installed = {"pavucontrol", "systemsettings", "nm-connection-editor", "gnome-control-center"};
    EXPECT_TRUE(settings.openPrivacySettings(false));
    installed = {"pavucontrol", "nm-connection-editor"};
    EXPECT_TRUE(settings.openPrivacySettings(false));
    EXPECT_TRUE(settings.openPrivacySettings(true));
    EXPECT_THAT(launched, ElementsAre(Command{"/usr/bin/gnome-control-center", "sound"},
                                      Command{"/usr/bin/pavucontrol", "--tab=4"},
                                      Command{"/usr/bin/nm-connection-editor"}));
    installed.clear();
    EXPECT_FALSE(settings.openPrivacySettings(true));
    EXPECT_EQ(launched.size(), 3u);
}

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "hh-privacy-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

TEST(PrivacySettingsTest, FindsExecutableFilesOnAbsolutePathEntriesOnly) {
    TempDir a, b;
    std::ofstream(a.path / "tool") << "#!/bin/sh\n";  // not executable: keep looking
    std::ofstream(b.path / "tool") << "#!/bin/sh\n";
    chmod((b.path / "tool").c_str(), 0755);
    std::filesystem::create_directory(a.path / "dir");
    const std::string path = a.path.string() + ":" + b.path.string() + "/";
    EXPECT_EQ(findOnPath("tool", path), (b.path / "tool").string());
    EXPECT_EQ(findOnPath("dir", path), std::nullopt);
    EXPECT_EQ(findOnPath("../tool", a.path.string() + "/dir"), std::nullopt);
    // Empty and relative entries do not mean the current directory.
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(b.path);
    EXPECT_EQ(findOnPath("tool", ":.:/nonexistent::"), std::nullopt);
    std::filesystem::current_path(previous);
}

TEST(PrivacySettingsTest, LaunchDetachedStartsTheProgramAndReportsFailures) {
    TempDir dir;
    const auto fifo = dir.path / "done";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(launchDetached({"/bin/sh", "-c", "echo started > \"$0\"", fifo.string()}));
    std::ifstream in(fifo);  // blocks until the program writes
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "started");
    EXPECT_FALSE(launchDetached({(dir.path / "missing").string()}));
    EXPECT_FALSE(launchDetached({"sh", "-c", "true"}));
}

} // namespace
} // namespace hh
