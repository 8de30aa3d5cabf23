// One copy per display and the autostart entry, on temporary directories.
#include "app/shell/Autostart.h"
#include "app/shell/SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace hh {
namespace {

// The hand-over itself (a second launch opens the first's panel and exits 0)
// is tray_test.py's, on the real program.
TEST(SingleInstance, OneCopyPerDisplayAndNothingLeftWhenItEnds) {
    QTemporaryDir dir;
    {
        SingleInstance first(dir.path(), QStringLiteral("x11-_0"));
        ASSERT_EQ(first.role(), SingleInstance::Role::first);
        first.start();
        EXPECT_EQ(SingleInstance(dir.path(), QStringLiteral("x11-_1")).role(), SingleInstance::Role::first);
        EXPECT_EQ(SingleInstance(dir.path(), QStringLiteral("x11-_0")).role(), SingleInstance::Role::second);
    }
    // The first copy gone (its socket file too), the next one is first again.
    EXPECT_FALSE(QFile::exists(QDir(dir.path()).filePath(QStringLiteral("hollerhopper-x11-_0.socket"))));
    SingleInstance next(dir.path(), QStringLiteral("x11-_0"));
    EXPECT_EQ(next.role(), SingleInstance::Role::first);
    // A lock held by a copy that never serves: the asker gives up in time.
    SingleInstance asker(dir.path(), QStringLiteral("x11-_0"));
    EXPECT_FALSE(asker.askToShowPanel(std::chrono::milliseconds(200)));
}

TEST(SingleInstance, DisplayKeyIsOneFileNamePartPerDisplay) {
    const struct {
        const char* wayland;
        const char* x11;
        const char* key;
    } cases[] = {
        {"/run/user/1000/wayland-1", ":0", "wl-wayland-1"},
        {nullptr, ":0.0", "x11-_0"},
        {nullptr, "../../x", "x11-.._.._x"},
        {nullptr, nullptr, "nodisplay"},
    };
    const QByteArray savedWayland = qgetenv("WAYLAND_DISPLAY"), savedX11 = qgetenv("DISPLAY");
    for (const auto& c : cases) {
        c.wayland ? qputenv("WAYLAND_DISPLAY", c.wayland) : qunsetenv("WAYLAND_DISPLAY");
        c.x11 ? qputenv("DISPLAY", c.x11) : qunsetenv("DISPLAY");
        EXPECT_EQ(SingleInstance::displayKey().toStdString(), c.key);
    }
    savedWayland.isNull() ? qunsetenv("WAYLAND_DISPLAY") : qputenv("WAYLAND_DISPLAY", savedWayland);
    savedX11.isNull() ? qunsetenv("DISPLAY") : qputenv("DISPLAY", savedX11);
}

QString read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void write(const QString& path, const QString& text) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text.toUtf8());
}

TEST(AutostartEntry, HidesASystemWideEntryAndFailsWhereItCannotWrite) {
    QTemporaryDir dir;
    const QString home = dir.filePath(QStringLiteral("home")), system = dir.filePath(QStringLiteral("xdg"));
    AutostartEntry entry(QStringLiteral("/opt/My Apps/hollerhopper"), home, {system});
    EXPECT_EQ(entry.path(), home + QStringLiteral("/autostart/hollerhopper.desktop"));
    EXPECT_FALSE(entry.isEnabled());
    // (Writing and removing the user's own entry: tray_test.py, from the menu.)

    // A system-wide entry is on until the user's Hidden=true entry switches it off.
    write(system + QStringLiteral("/autostart/hollerhopper.desktop"), entry.contents(false));
    EXPECT_TRUE(entry.isEnabled());
    ASSERT_TRUE(entry.setEnabled(false));
    EXPECT_TRUE(read(entry.path()).contains(QStringLiteral("\nHidden=true\n")));
    EXPECT_FALSE(entry.isEnabled());
    ASSERT_TRUE(entry.setEnabled(true));
    EXPECT_TRUE(entry.isEnabled());
    EXPECT_FALSE(read(entry.path()).contains(QStringLiteral("Hidden")));

    // An unwritable place fails without pretending.
    write(dir.filePath(QStringLiteral("file")), QStringLiteral("x"));
    AutostartEntry blocked(QStringLiteral("hollerhopper"), dir.filePath(QStringLiteral("file")), {});
    EXPECT_FALSE(blocked.setEnabled(true));
    EXPECT_FALSE(blocked.isEnabled());
}

TEST(AutostartEntry, ExecQuotesWhatTheDesktopWouldExpand) {
    const QString text = AutostartEntry(QStringLiteral("/a b/100%/$x\"q"), QStringLiteral("/h"), {}).contents(false);
    EXPECT_EQ(text.section(QStringLiteral("\nExec="), 1).section(QLatin1Char('\n'), 0, 0).toStdString(),
              R"("/a b/100%%/\\$x\\"q")");
}

} // namespace
} // namespace hh
