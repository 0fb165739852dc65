#include "picture_box.h"

#include <gtest/gtest.h>

namespace {

using capture::fitKeepingAspect;
using capture::pictureBox;
using capture::scaledDesktopSize;

struct DesktopCase
{
    QSize desktop;
    bool zmt;
    QSize box;
    QSize announced;
};

void PrintTo(const DesktopCase &c, std::ostream *os)
{
    *os << c.desktop.width() << "x" << c.desktop.height() << (c.zmt ? " ZMT" : " QMT");
}

class AnnouncedSize : public ::testing::TestWithParam<DesktopCase>
{
};

TEST_P(AnnouncedSize, BoxAndScaledSize)
{
    const DesktopCase &c = GetParam();
    EXPECT_EQ(pictureBox(c.desktop, c.zmt), c.box);
    EXPECT_EQ(scaledDesktopSize(c.desktop, c.zmt), c.announced);
}

INSTANTIATE_TEST_SUITE_P(Desktops, AnnouncedSize,
        ::testing::Values(
                // Only a ZMT unit gets the wide box, and only for a desktop wider than 1.5 : 1.
                DesktopCase{ { 1920, 1080 }, true, { 1280, 720 }, { 1280, 720 } },
                DesktopCase{ { 1920, 1080 }, false, { 1024, 768 }, { 1024, 576 } },
                DesktopCase{ { 1680, 1050 }, true, { 1280, 720 }, { 1152, 720 } },
                DesktopCase{ { 1680, 1050 }, false, { 1024, 768 }, { 1024, 640 } },
                // Exactly 1.5 is not wider; 682.67 rounds down.
                DesktopCase{ { 1440, 960 }, true, { 1024, 768 }, { 1024, 682 } },
                DesktopCase{ { 1440, 960 }, false, { 1024, 768 }, { 1024, 682 } },
                DesktopCase{ { 1280, 1024 }, true, { 1024, 768 }, { 960, 768 } },
                DesktopCase{ { 1280, 1024 }, false, { 1024, 768 }, { 960, 768 } },
                // A desktop smaller than the box is enlarged into it.
                DesktopCase{ { 800, 600 }, true, { 1024, 768 }, { 1024, 768 } },
                DesktopCase{ { 3840, 2160 }, true, { 1280, 720 }, { 1280, 720 } }));

TEST(FitKeepingAspect, ApplicationWindows)
{
    EXPECT_EQ(fitKeepingAspect({ 800, 600 }, capture::StandardBox), QSize(1024, 768));
    EXPECT_EQ(fitKeepingAspect({ 1000, 400 }, capture::StandardBox), QSize(1024, 409));
}

TEST(FitKeepingAspect, SameAsQtKeepAspectRatio)
{
    // Any rounding different from Qt's would announce one size and send another.
    const QSize boxes[] = { capture::StandardBox, capture::WideBox };
    const QSize sources[] = { { 1920, 1080 }, { 1366, 768 }, { 1600, 900 }, { 2560, 1080 },
        { 1024, 1366 }, { 333, 777 }, { 1, 1 }, { 5000, 3 }, { 3, 5000 }, { 1023, 767 },
        { 1281, 721 }, { 2048, 1536 } };
    for (const QSize &box : boxes) {
        for (const QSize &source : sources) {
            EXPECT_EQ(fitKeepingAspect(source, box), source.scaled(box, Qt::KeepAspectRatio))
                    << source.width() << "x" << source.height();
        }
    }
}

TEST(FitKeepingAspect, EmptyGivesEmpty)
{
    EXPECT_TRUE(fitKeepingAspect({ 0, 1080 }, capture::StandardBox).isEmpty());
    EXPECT_TRUE(fitKeepingAspect({ 1920, 1080 }, { 0, 0 }).isEmpty());
    EXPECT_EQ(pictureBox({ 0, 0 }, true), capture::StandardBox);
}

TEST(ShapeKeepingArea, TheAnnouncedSizeIsFilledWhole)
{
    // The desktop a share started with is never put on black, whatever its rounding.
    const QSize desktops[] = { { 1920, 1080 }, { 1366, 768 }, { 1600, 900 }, { 2560, 1080 },
        { 1024, 1366 }, { 333, 777 }, { 1023, 767 }, { 1281, 721 }, { 4480, 1440 }, { 7680, 4320 },
        { 1680, 1050 }, { 1440, 960 } };
    for (const QSize &desktop : desktops) {
        for (const bool zmt : { true, false }) {
            const QSize announced = scaledDesktopSize(desktop, zmt);
            EXPECT_EQ(capture::shapeKeepingArea(desktop, announced), QRect({ 0, 0 }, announced))
                    << desktop.width() << "x" << desktop.height();
        }
    }
}

TEST(ShapeKeepingArea, AnotherShapeIsCentredOnBlack)
{
    // A second monitor beside the first: bars above and below.
    EXPECT_EQ(capture::shapeKeepingArea({ 3840, 1080 }, { 1280, 720 }), QRect(0, 180, 1280, 360));
    // A 4:3 resolution on a wide share: bars at the sides.
    EXPECT_EQ(capture::shapeKeepingArea({ 1024, 768 }, { 1280, 720 }), QRect(160, 0, 960, 720));
    // Even sides and offsets on an odd frame.
    EXPECT_EQ(capture::shapeKeepingArea({ 1000, 1000 }, { 1023, 682 }), QRect(170, 0, 682, 682));
    EXPECT_EQ(capture::shapeKeepingArea({ 5000, 3 }, { 1024, 576 }), QRect(0, 286, 1024, 2));
    EXPECT_TRUE(capture::shapeKeepingArea({ 0, 1080 }, { 1280, 720 }).isEmpty());
}

} // namespace
