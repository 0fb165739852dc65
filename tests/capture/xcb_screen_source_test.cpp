#include "test_pictures.h"
#include "test_support.h"
#include "xcb_screen_source.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPixmap>
#include <QScreen>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

QRgb pixelAt(const capture::PixelView &view, QPoint point)
{
    const auto *line = reinterpret_cast<const QRgb *>(view.data + point.y() * view.strideBytes);
    return line[point.x()] | 0xff000000u;
}

bool close(QRgb a, QRgb b)
{
    return std::abs(qRed(a) - qRed(b)) <= 2 && std::abs(qGreen(a) - qGreen(b)) <= 2
            && std::abs(qBlue(a) - qBlue(b)) <= 2;
}

TEST(XcbScreenSource, GrabsTheWholeScreenWithWhatIsOnIt)
{
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X display (Xvfb)";
    auto source = capture::XcbScreenSource::open();
    ASSERT_TRUE(source);
    EXPECT_TRUE(source->usesSharedMemory());
    EXPECT_EQ(source->size(), QGuiApplication::primaryScreen()->virtualGeometry().size());

    // A window with known colours at a known place (override-redirect: no window manager
    // moves it).
    const QRect place(300, 200, 400, 200);
    QLabel window;
    window.setWindowFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
    window.setPixmap(QPixmap::fromImage(testpictures::colourGrid(place.size(), 8, 4)));
    window.setGeometry(place);
    window.show();

    const auto cellCentre = [&](int column, int row) {
        return place.topLeft() + QPoint(column * 50 + 25, row * 50 + 25);
    };
    std::optional<capture::PixelView> view;
    ASSERT_TRUE(testsupport::waitUntil(
            [&] {
                view = source->grab();
                return view
                        && close(pixelAt(*view, cellCentre(0, 0)),
                                testpictures::blockColour(0, 0).rgb());
            },
            5s));
    EXPECT_EQ(view->size(), source->size());
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 8; ++column)
            EXPECT_TRUE(close(pixelAt(*view, cellCentre(column, row)),
                    testpictures::blockColour(column, row).rgb()))
                    << column << "," << row;

    // The next grab sees the screen as it is now, not a kept picture.
    window.hide();
    EXPECT_TRUE(testsupport::waitUntil(
            [&] {
                view = source->grab();
                return view
                        && !close(pixelAt(*view, cellCentre(0, 0)),
                                testpictures::blockColour(0, 0).rgb());
            },
            5s));
}

TEST(XcbScreenSource, BandsAddUpToTheWholePicture)
{
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X display (Xvfb)";
    auto source = capture::XcbScreenSource::open();
    ASSERT_TRUE(source);
    QLabel window;
    window.setWindowFlags(Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
    window.setPixmap(QPixmap::fromImage(testpictures::photoLike({ 640, 900 })));
    window.setGeometry(100, 100, 640, 900);
    window.show();
    ASSERT_TRUE(testsupport::waitUntil([&] { return window.isVisible(); }));
    testsupport::processEventsFor(200ms); // painted

    // Other tests may draw on the same screen: an attempt counts only when two whole grabs
    // around the banded one agree.
    const auto wholePicture = [&] {
        const std::optional<capture::PixelView> whole = source->grab();
        return whole ? QImage(whole->data, whole->width, whole->height, whole->strideBytes,
                       QImage::Format_RGB32)
                               .copy()
                     : QImage();
    };
    for (int attempt = 0; attempt < 10; ++attempt) {
        const QImage before = wholePicture();
        const std::optional<capture::PixelView> banded = source->startGrab();
        ASSERT_TRUE(banded);
        int rows = 0;
        while (rows < banded->height) {
            const int now = source->rowsArrived(true);
            ASSERT_GT(now, rows) << "a wait brought no rows";
            rows = now;
        }
        EXPECT_EQ(source->rowsArrived(false), banded->height);
        const QImage got = QImage(banded->data, banded->width, banded->height, banded->strideBytes,
                QImage::Format_RGB32)
                                   .copy();
        if (wholePicture() != before)
            continue;
        EXPECT_TRUE(got == before);
        return;
    }
    GTEST_SKIP() << "the screen never kept still";
}

TEST(XcbScreenSource, NoDisplayGivesNoSource)
{
    EXPECT_FALSE(capture::XcbScreenSource::open(":4093"));
}

} // namespace
