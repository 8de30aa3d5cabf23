#include "app/model/PrivacySettings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace hh {
namespace {

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

} // namespace
} // namespace hh
