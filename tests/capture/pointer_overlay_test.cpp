// The pointer drawn over a desktop picture: where (place minus hot spot, cut at the picture's
// edges and at the rows asked for) and how (source-over with premultiplied colours).

#include "pointer_overlay.h"

#include <gtest/gtest.h>

namespace {

using capture::PointerImage;

constexpr std::uint32_t Desktop = 0x00c86432; // pad 0, red 200, green 100, blue 50
constexpr std::uint32_t Black = 0xff000000;
constexpr std::uint32_t White = 0xffffffff;

// A desktop of 8 x 6 pixels in one colour, its rows padded to 10 pixels.
struct Picture
{
    static constexpr int Stride = 10;
    std::vector<std::uint32_t> pixels = std::vector<std::uint32_t>(Stride * 6, Desktop);

    std::uint32_t at(int x, int y) const { return pixels[std::size_t(y * Stride + x)]; }
    void draw(const PointerImage &pointer, int top = 0, int bottom = 6)
    {
        capture::blendPointer(reinterpret_cast<std::uint8_t *>(pixels.data()), { 8, 6 }, Stride * 4,
                pointer, top, bottom);
    }
    // The pixels (padding included) that are not the desktop colour any more, as "x,y".
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

TEST(PointerOverlay, BlendsPremultipliedColoursOverTheDesktop)
{
    Picture picture;
    // Opaque black and white, clear, alpha 128 with red 64, green 128, blue 0 multiplied in,
    // and a colour above its alpha (not premultiplied), which saturates instead of wrapping.
    picture.draw({ { 1, 2 }, { 5, 1 }, { Black, White, 0, 0x80408000, 0x10ff0000 } });
    EXPECT_EQ(picture.at(1, 2), 0x00000000u); // the pad byte kept
    EXPECT_EQ(picture.at(2, 2), 0x00ffffffu);
    EXPECT_EQ(picture.at(3, 2), Desktop);
    // 64 + 200 * 127 / 255 = 163.6, 128 + 100 * 127 / 255 = 177.8, 0 + 50 * 127 / 255 = 24.9
    EXPECT_EQ(picture.at(4, 2), 0x00a4b219u);
    // 255 + 200 * 239 / 255 saturates, 0 + 93.7, 0 + 46.9
    EXPECT_EQ(picture.at(5, 2), 0x00ff5e2fu);
}

TEST(PointerOverlay, IsCutAtEveryEdgeOfThePictureAndOfTheRowsAskedFor)
{
    // 3 x 2: top row black, white, clear; bottom row clear, black, white.
    const auto pointer = [](QPoint topLeft) {
        return PointerImage{ topLeft, { 3, 2 }, { Black, White, 0, 0, Black, White } };
    };
    struct Case
    {
        const char *what;
        QPoint topLeft;
        int top, bottom;
        std::vector<std::string> changed;
    };
    const Case cases[] = {
        { "inside", { 2, 1 }, 0, 6, { "2,1", "3,1", "3,2", "4,2" } },
        // A hot spot below and right of the top-left pixel puts the picture above the left.
        { "over the top-left corner", { -1, -1 }, 0, 6, { "0,0", "1,0" } },
        { "over the right edge", { 6, 0 }, 0, 6, { "6,0", "7,0", "7,1" } },
        { "over the bottom edge", { 0, 5 }, 0, 6, { "0,5", "1,5" } },
        { "wholly outside", { 8, 2 }, 0, 6, {} },
        { "rows above the pointer's second", { 2, 1 }, 0, 2, { "2,1", "3,1" } },
        { "rows below the pointer's first", { 2, 1 }, 2, 6, { "3,2", "4,2" } },
        { "no rows", { 2, 1 }, 3, 3, {} },
    };
    for (const Case &c : cases) {
        Picture picture;
        picture.draw(pointer(c.topLeft), c.top, c.bottom);
        EXPECT_EQ(picture.changed(), c.changed) << c.what;
    }
    Picture picture;
    picture.draw({ { 1, 1 }, { 3, 2 }, { Black, Black, Black } });
    EXPECT_TRUE(picture.changed().empty()) << "fewer pixels than the size: nothing read past them";
}

} // namespace
