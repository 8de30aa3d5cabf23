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

struct PrivacySettingsTest : ::testing::Test {
    std::set<std::string> installed;
    std::vector<Command> launched;
    PrivacySettings settings;

    PrivacySettingsTest() {
        settings.findProgram = [this](const std::string& p) -> std::optional<std::string> {
            if (!installed.count(p)) return std::nullopt;
            return "/usr/bin/" + p;
        };
        settings.launch = [this](const Command& c) { launched.push_back(c); };
    }
};

TEST_F(PrivacySettingsTest, AnchorsMapToSoundInputAndNetworkSettingsInDesktopOrder) {
    EXPECT_EQ(PrivacySettings::anchor(false), "Privacy_Microphone");
    EXPECT_EQ(PrivacySettings::anchor(true), "Privacy_LocalNetwork");
    EXPECT_THAT(PrivacySettings::candidates("Privacy_Microphone"),
                ElementsAre(Command{"gnome-control-center", "sound"}, Command{"systemsettings", "kcm_pulseaudio"},
                            Command{"pavucontrol", "--tab=4"}));
    EXPECT_THAT(PrivacySettings::candidates("Privacy_LocalNetwork"),
                ElementsAre(Command{"gnome-control-center", "network"},
                            Command{"systemsettings", "kcm_networkmanagement"}, Command{"nm-connection-editor"}));
    EXPECT_TRUE(PrivacySettings::candidates("Privacy_Camera").empty());
}

TEST_F(PrivacySettingsTest, LaunchesTheFirstInstalledCandidateOnly) {
    installed = {"pavucontrol", "systemsettings", "nm-connection-editor"};
    EXPECT_TRUE(settings.openPrivacySettings(false));
    EXPECT_TRUE(settings.openPrivacySettings(true));
    installed = {"pavucontrol", "nm-connection-editor"};
    EXPECT_TRUE(settings.openPrivacySettings(false));
    EXPECT_TRUE(settings.openPrivacySettings(true));
    EXPECT_THAT(launched, ElementsAre(Command{"/usr/bin/systemsettings", "kcm_pulseaudio"},
                                      Command{"/usr/bin/systemsettings", "kcm_networkmanagement"},
                                      Command{"/usr/bin/pavucontrol", "--tab=4"},
                                      Command{"/usr/bin/nm-connection-editor"}));
}

TEST_F(PrivacySettingsTest, DoesNothingWhenNoneIsInstalled) {
    installed = {"pavucontrol"};
    EXPECT_FALSE(settings.openPrivacySettings(true));
    EXPECT_TRUE(launched.empty());
}

struct TempDir {
    std::filesystem::path path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "hh-privacy-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::filesystem::path file(const std::string& name, mode_t mode) {
        auto p = path / name;
        std::ofstream(p) << "#!/bin/sh\n";
        chmod(p.c_str(), mode);
        return p;
    }
};

TEST(FindOnPathTest, FindsExecutableFilesAndSkipsTheRest) {
    TempDir a, b;
    a.file("tool", 0644);  // not executable: keep looking
    const auto exe = b.file("tool", 0755);
    std::filesystem::create_directory(a.path / "dir");
    chmod((a.path / "dir").c_str(), 0755);
    const std::string path = a.path.string() + ":" + b.path.string();
    EXPECT_EQ(findOnPath("tool", path), exe.string());
    EXPECT_EQ(findOnPath("dir", path), std::nullopt);
    EXPECT_EQ(findOnPath("missing", path), std::nullopt);
    EXPECT_EQ(findOnPath("", path), std::nullopt);
    EXPECT_EQ(findOnPath("../tool", a.path.string() + "/dir"), std::nullopt);  // no path tricks
    EXPECT_EQ(findOnPath("tool", b.path.string() + "/"), exe.string());
}

TEST(FindOnPathTest, EmptyAndRelativeEntriesAreNotTheCurrentDirectory) {
    TempDir dir;
    dir.file("tool", 0755);
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path);
    EXPECT_EQ(findOnPath("tool", ":.:/nonexistent::"), std::nullopt);
    std::filesystem::current_path(previous);
}

TEST(LaunchDetachedTest, StartsTheProgramWithoutWaitingAndReportsFailures) {
    TempDir dir;
    const auto fifo = dir.path / "done";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(launchDetached({"/bin/sh", "-c", "echo started > \"$0\"", fifo.string()}));
    // Opening the FIFO blocks until the detached program writes to it.
    std::ifstream in(fifo);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "started");

    EXPECT_FALSE(launchDetached({(dir.path / "missing").string()}));
    EXPECT_FALSE(launchDetached({"sh", "-c", "true"}));  // only full paths
    EXPECT_FALSE(launchDetached({}));
}

} // namespace
} // namespace hh
