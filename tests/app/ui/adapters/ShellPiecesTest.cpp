#include "app/shell/Autostart.h"
#include "app/shell/PassphraseStore.h"
#include "app/shell/Placement.h"

#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace hh {
namespace {

TEST(PopupPlacement, CentredUnderTheIconAboveAtTheBottomAndInsideTheScreen) {
    const QRect screen(0, 0, 1280, 800);
    const QSize panel(280, 400);
    EXPECT_EQ(popupPosition(QRect(600, 0, 24, 24), panel, screen), QPoint(471, 28)); // 4 pixels under
    EXPECT_EQ(popupPosition(QRect(1256, 0, 24, 24), panel, screen), QPoint(1000, 28));
    EXPECT_EQ(popupPosition(QRect(0, 0, 24, 24), panel, screen), QPoint(0, 28));
    EXPECT_EQ(popupPosition(QRect(600, 776, 24, 24), panel, screen), QPoint(471, 776 - 4 - 400));
    EXPECT_EQ(popupPosition(QRect(300, 300, 1, 1), panel, screen), QPoint(160, 305)); // at the pointer
    // Taller than the screen: the top stays visible. An available area not at the origin.
    EXPECT_EQ(popupPosition(QRect(10, 10, 24, 24), QSize(280, 900), screen).y(), 0);
    EXPECT_EQ(popupPosition(QRect(0, 0, 24, 24), panel, QRect(48, 0, 1232, 800)).x(), 48);
}

TEST(AutostartEntry, ExecQuotesWhatTheDesktopWouldExpand) {
    const QString text = AutostartEntry(QStringLiteral("/a b/100%/$x\"q"), QStringLiteral("/h"), {}).contents(false);
    EXPECT_EQ(text.section(QStringLiteral("\nExec="), 1).section(QLatin1Char('\n'), 0, 0).toStdString(),
              R"("/a b/100%%/\\$x\\"q")");
}

// Without a secret store the passphrase goes to a file only the user can
// read, for the channel it was given for; an empty one leaves no file.
TEST(PassphraseStore, TheFileIsTheUsersAloneAndKeepsOneChannel) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hollerhopper/channel-passphrase"));
    PassphraseStore store(path, false);
    EXPECT_EQ(store.store(QStringLiteral("Office"), QStringLiteral("maple orbit")), PassphraseStore::Where::file);
    struct stat info{};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(store.load(QStringLiteral("Office")), QStringLiteral("maple orbit"));
    EXPECT_EQ(store.load(QStringLiteral("Attic")), std::nullopt);
    store.store(QStringLiteral("Attic"), QStringLiteral("velvet canyon"));
    EXPECT_EQ(store.load(QStringLiteral("Office")), std::nullopt);
    store.store(QStringLiteral("Everyone"), {});
    EXPECT_FALSE(QFile::exists(path));
}

} // namespace
} // namespace hh

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
