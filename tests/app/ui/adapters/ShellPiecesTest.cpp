#include "app/shell/Autostart.h"
#include "app/shell/Placement.h"

#include <QGuiApplication>
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

TEST(AutostartEntry, ExecQuotesWhatTheDesktopWouldExpand) {
    const QString text = AutostartEntry(QStringLiteral("/a b/100%/$x\"q"), QStringLiteral("/h"), {}).contents(false);
    EXPECT_EQ(text.section(QStringLiteral("\nExec="), 1).section(QLatin1Char('\n'), 0, 0).toStdString(),
              R"("/a b/100%%/\\$x\\"q")");
}

} // namespace
} // namespace hh

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
