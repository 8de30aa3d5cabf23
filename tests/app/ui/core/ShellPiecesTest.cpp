#include "app/shell/HostName.h"
#include "app/shell/Placement.h"
#include "app/shell/Symbols.h"

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

namespace hh {
namespace {

const QRect screen(0, 0, 1280, 800);
const QSize panel(280, 400);

TEST(PopupPlacement, CentredUnderTheIconAndInsideTheScreen) {
    // A top panel icon in the middle: centred, 4 pixels below.
    EXPECT_EQ(popupPosition(QRect(600, 0, 24, 24), panel, screen), QPoint(471, 28));
    // At the right edge: pushed left to stay on screen.
    EXPECT_EQ(popupPosition(QRect(1256, 0, 24, 24), panel, screen), QPoint(1000, 28));
    // At the left edge.
    EXPECT_EQ(popupPosition(QRect(0, 0, 24, 24), panel, screen), QPoint(0, 28));
}

TEST(PopupPlacement, AboveAnIconAtTheBottom) {
    EXPECT_EQ(popupPosition(QRect(600, 776, 24, 24), panel, screen), QPoint(471, 776 - 4 - 400));
}

TEST(PopupPlacement, PointerAnchorAndTinyScreens) {
    EXPECT_EQ(popupPosition(QRect(QPoint(300, 300), QSize(1, 1)), panel, screen), QPoint(160, 305));
    // Taller than the screen: the top stays visible.
    EXPECT_EQ(popupPosition(QRect(10, 10, 24, 24), QSize(280, 900), screen).y(), 0);
    // Available area not at the origin (a panel on the left).
    EXPECT_EQ(popupPosition(QRect(0, 0, 24, 24), panel, QRect(48, 0, 1232, 800)).x(), 48);
}

TEST(MachineInfo, PrettyHostName) {
    EXPECT_EQ(prettyHostNameFromMachineInfo(QStringLiteral("PRETTY_HOSTNAME=\"Ada's Laptop\"\nCHASSIS=laptop\n")),
              QStringLiteral("Ada's Laptop"));
    EXPECT_EQ(prettyHostNameFromMachineInfo(QStringLiteral("PRETTY_HOSTNAME='Kitchen PC'")), QStringLiteral("Kitchen PC"));
    EXPECT_EQ(prettyHostNameFromMachineInfo(QStringLiteral("PRETTY_HOSTNAME=\"Say \\\"hi\\\"\"")),
              QStringLiteral("Say \"hi\""));
    EXPECT_EQ(prettyHostNameFromMachineInfo(QStringLiteral("PRETTY_HOSTNAME=plain")), QStringLiteral("plain"));
    EXPECT_EQ(prettyHostNameFromMachineInfo(QStringLiteral("# PRETTY_HOSTNAME=no\nCHASSIS=vm")), QString());
    EXPECT_EQ(prettyHostNameFromMachineInfo(QStringLiteral("PRETTY_HOSTNAME=\"\"")), QString());
}

TEST(MachineInfo, ComputerNameIsNeverEmpty) {
    EXPECT_FALSE(computerName().isEmpty());
}

// Every symbol the panels and the menu name must show, theme or not.
TEST(SymbolArtwork, EverySymbolInUseHasArtworkThatDraws) {
    QStringList used{QStringLiteral("speaker.wave.2"), QStringLiteral("speaker.slash"), QStringLiteral("gearshape"),
                     QStringLiteral("power")};
    QDirIterator qml(QStringLiteral(":/hollerhopper/qml"));
    const QRegularExpression names(QStringLiteral("\"([a-z]+(?:\\.[a-z0-9]+)+)\""));
    while (qml.hasNext()) {
        QFile file(qml.next());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        auto matches = names.globalMatch(QString::fromUtf8(file.readAll()));
        while (matches.hasNext()) {
            const QString name = matches.next().captured(1);
            if (!name.endsWith(QLatin1String(".qml")))
                used << name;
        }
    }
    used << QStringLiteral("mic") << QStringLiteral("wifi") << QStringLiteral("checkmark");
    used.removeDuplicates();
    EXPECT_GE(used.size(), 12);
    for (const QString& symbol : used) {
        SCOPED_TRACE(symbol.toStdString());
        EXPECT_FALSE(Symbols::fallbackPath(symbol).isEmpty());
        const QImage image = Symbols::render(symbol, QSize(24, 24), Qt::red);
        ASSERT_FALSE(image.isNull());
        int painted = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.alpha() > 0) {
                    ++painted;
                    EXPECT_EQ(c.red(), 255);
                    EXPECT_EQ(c.green(), 0);
                }
            }
        EXPECT_GT(painted, 20);
    }
    EXPECT_TRUE(Symbols::render(QStringLiteral("no.such.symbol"), QSize(24, 24), Qt::red).isNull());
}

TEST(StatusIcons, MonoFollowsTheTextColourGreenKeepsItsOwn) {
    auto colours = [](const QIcon& icon) {
        QSet<QRgb> set;
        const QImage image = icon.pixmap(22, 22).toImage();
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (qAlpha(image.pixel(x, y)) == 255)
                    set.insert(image.pixel(x, y) & 0xffffff);
        return set;
    };
    EXPECT_EQ(colours(statusIcon(StatusLook::mono, Qt::white)), QSet<QRgb>{0xffffff});
    EXPECT_EQ(colours(statusIcon(StatusLook::monoSlash, QColor(0x20, 0x20, 0x20))), QSet<QRgb>{0x202020});
    EXPECT_GT(colours(statusIcon(StatusLook::green, Qt::white)).size(), 2);
    const QImage plain = statusIcon(StatusLook::mono, Qt::black).pixmap(22, 22).toImage();
    const QImage slash = statusIcon(StatusLook::monoSlash, Qt::black).pixmap(22, 22).toImage();
    EXPECT_NE(plain, slash);
}

} // namespace
} // namespace hh
