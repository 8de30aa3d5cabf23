#include "app/shell/Placement.h"
#include "app/shell/Symbols.h"

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

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

// The opaque colours of an image (RGB), and how many pixels are painted at all.
std::pair<QSet<QRgb>, int> paint(const QImage& image) {
    QSet<QRgb> colours;
    int painted = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            painted += qAlpha(p) > 0;
            if (qAlpha(p) == 255)
                colours.insert(p & 0xffffff);
        }
    return {colours, painted};
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
        const auto [colours, painted] = paint(Symbols::render(symbol, QSize(24, 24), Qt::red));
        EXPECT_EQ(colours, QSet<QRgb>{0xff0000});
        EXPECT_GT(painted, 20);
    }
    EXPECT_TRUE(Symbols::render(QStringLiteral("no.such.symbol"), QSize(24, 24), Qt::red).isNull());
}

} // namespace
} // namespace hh
