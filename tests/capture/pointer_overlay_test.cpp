// The pointer drawn over a desktop picture: where (place minus hot spot, cut at the picture's
// edges and at the rows asked for) and how (source-over with premultiplied colours).

#include "pointer_overlay.h"

#include <gtest/gtest.h>

namespace {

using capture::PointerImage;

constexpr QSize PictureSize{ 8, 6 };
constexpr std::uint32_t Desktop = 0x00c86432; // pad 0, red 200, green 100, blue 50
constexpr std::uint32_t Black = 0xff000000;
constexpr std::uint32_t White = 0xffffffff;

// A picture of one colour, a row of 8 pixels padded to 10 (so the stride is honoured).
struct Picture
{
    static constexpr int Stride = 10;
    std::vector<std::uint32_t> pixels = std::vector<std::uint32_t>(Stride * 6, Desktop);

    std::uint32_t at(int x, int y) const { return pixels[std::size_t(y * Stride + x)]; }
    void draw(const PointerImage &pointer, int top = 0, int bottom = 6)
    {
        capture::blendPointer(reinterpret_cast<std::uint8_t *>(pixels.data()), PictureSize,
                Stride * 4, pointer, top, bottom);
    }
    // The pixels that are not the desktop colour any more, as "x,y" strings.
    std::vector<std::string> changed() const
    {
        std::vector<std::string> places;
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < Stride; ++x)
                if (at(x, y) != Desktop)
                    places.push_back(std::to_string(x) + "," + std::to_string(y));
        return places;
    }
};

// 3 x 2: top row black, white, clear; bottom row clear, black, white.
PointerImage smallPointer(QPoint topLeft)
{
    return { topLeft, { 3, 2 }, { Black, White, 0, 0, Black, White } };
}

TEST(PointerOverlay, OpaquePixelsReplaceAndClearOnesKeepTheDesktop)
{
    Picture picture;
    picture.draw(smallPointer({ 2, 1 }));
    EXPECT_EQ(picture.at(2, 1), 0x00000000u); // black, the pad byte kept
    EXPECT_EQ(picture.at(3, 1), 0x00ffffffu);
    EXPECT_EQ(picture.at(3, 2), 0x00000000u);
    EXPECT_EQ(picture.at(4, 2), 0x00ffffffu);
    EXPECT_EQ(picture.changed(), (std::vector<std::string>{ "2,1", "3,1", "3,2", "4,2" }));
}

TEST(PointerOverlay, IsCutAtEveryEdgeOfThePictureAndOfTheRowsAskedFor)
{
    struct Case
    {
        const char *what;
        QPoint topLeft;
        int top, bottom;
        std::vector<std::string> changed;
    };
    const Case cases[] = {
        // A hot spot below and right of the top-left pixel puts the picture above the left.
        { "over the top-left corner", { -1, -1 }, 0, 6, { "0,0", "1,0" } },
        { "over the right edge", { 6, 0 }, 0, 6, { "6,0", "7,0", "7,1" } },
        { "over the bottom edge", { 0, 5 }, 0, 6, { "0,5", "1,5" } },
        { "wholly outside", { 8, 2 }, 0, 6, {} },
        { "rows above the pointer only", { 2, 1 }, 0, 2, { "2,1", "3,1" } },
        { "rows below the pointer's first", { 2, 1 }, 2, 6, { "3,2", "4,2" } },
        { "no rows", { 2, 1 }, 3, 3, {} },
    };
    for (const Case &c : cases) {
        Picture picture;
        picture.draw(smallPointer(c.topLeft), c.top, c.bottom);
        EXPECT_EQ(picture.changed(), c.changed) << c.what;
    }
}

TEST(PointerOverlay, HalfClearPixelsBlendWithPremultipliedColours)
{
    Picture picture;
    // Alpha 128 with red 64, green 128, blue 0 already multiplied; then a colour above its
    // alpha (not premultiplied), which must saturate instead of wrapping to a dark value.
    picture.draw({ { 0, 0 }, { 2, 1 }, { 0x80408000, 0x10ff0000 } });
    // red 64 + 200 * 127 / 255 = 163.6, green 128 + 100 * 127 / 255 = 177.8, blue 0 + 24.9
    EXPECT_EQ(picture.at(0, 0), 0x00a4b219u);
    // red 255 + 200 * 239 / 255 saturates; green 0 + 93.7; blue 0 + 46.9
    EXPECT_EQ(picture.at(1, 0), 0x00ff5e2fu);
}

TEST(PointerOverlay, APointerWithMissingPixelsDrawsNothing)
{
    Picture picture;
    picture.draw({ { 1, 1 }, { 3, 2 }, { Black, Black, Black } });
    EXPECT_TRUE(picture.changed().empty());
}

} // namespace
