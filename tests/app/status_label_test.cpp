// The share status on a window moved between screens of different pixel ratios (a laptop
// beside a projector): each text is drawn at the ratio of the screen the window is on, as a
// plain label draws it, not as the picture kept from the other screen, enlarged.
// This program makes its two screens itself: the offscreen platform, scaled by one and by two.

#include "status_label.h"

#include <QApplication>
#include <QLabel>
#include <QScreen>
#include <QTemporaryFile>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

namespace {

const QString Text = "<font color='#F2F2F2'>Sharing ...</font>";

// What the window shows of `label`, in the pixels of the window's screen.
QImage shown(QWidget &window, QLabel &label)
{
    label.update();
    QTest::qWait(30);
    const qreal ratio = window.devicePixelRatioF();
    const QRect area(label.mapTo(&window, QPoint()) * ratio, label.size() * ratio);
    return window.grab().toImage().copy(area);
}

TEST(StatusLabel, DrawsItsTextAgainAtTheRatioOfTheScreenItMovesTo)
{
    const QList<QScreen *> screens = QGuiApplication::screens();
    ASSERT_EQ(screens.size(), 2);
    ASSERT_EQ(screens[1]->devicePixelRatio(), 2);
    QWidget window;
    window.setStyleSheet("background: #304050");
    window.resize(200, 60);
    StatusLabel status(&window);
    QLabel plain(&window);
    for (QLabel *label : { static_cast<QLabel *>(&status), &plain }) {
        label->setGeometry(10, 10, 131, 31);
        label->setText(Text);
    }
    plain.hide();
    window.move(screens[0]->geometry().topLeft() + QPoint(20, 20));
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    // Drawn once, then shown from its picture.
    shown(window, status);
    EXPECT_EQ(shown(window, status).size(), QSize(131, 31));

    window.windowHandle()->setScreen(screens[1]);
    window.move(screens[1]->geometry().topLeft() + QPoint(20, 20));
    QTest::qWait(30);
    ASSERT_EQ(window.devicePixelRatioF(), 2);
    const QImage first = shown(window, status);
    const QImage kept = shown(window, status);
    status.hide();
    plain.show();
    const QImage expected = shown(window, plain);
    EXPECT_EQ(expected.size(), QSize(262, 62));
    EXPECT_TRUE(first == expected) << "not as a plain label draws it at ratio two";
    EXPECT_TRUE(kept == expected) << "its kept picture differs from a plain label's";
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QTemporaryFile screens;
    if (!screens.open())
        return 1;
    screens.write(R"({"screens": [
        {"name": "Laptop", "x": 0, "y": 0, "width": 800, "height": 600,
         "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1},
        {"name": "Projector", "x": 800, "y": 0, "width": 800, "height": 600,
         "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 2}]})");
    screens.flush();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + screens.fileName().toLocal8Bit());
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
