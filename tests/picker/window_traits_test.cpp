// What the window layer makes of property and pixel bytes, without a display.

#include "window_traits.h"
#include "zpixmap_image.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

TEST(WindowTraits, ClassNameIsTheClassPartOfWmClass)
{
    struct Case
    {
        QByteArray wmClass;
        QString expected;
    };
    const Case cases[] = {
        { QByteArrayLiteral("notepad\0Notepad\0"), "Notepad" },
        { QByteArrayLiteral("instance\0MS-SDIa"), "MS-SDIa" }, // no closing NUL
        { QByteArrayLiteral("lonely"), "lonely" }, // one string only
        { QByteArrayLiteral("only\0\0"), "only" }, // empty class part
        { QByteArray(), QString() },
        { QByteArrayLiteral("i\0Caf\xe9\0"), QString::fromUtf8("Caf\u00e9") }, // Latin-1
    };
    for (const Case &c : cases)
        EXPECT_EQ(x11::classNameFromWmClass(c.wmClass), c.expected) << c.wmClass.toHex().data();

    const QByteArray longClass = QByteArray("i\0", 2) + QByteArray(700, 'c');
    EXPECT_EQ(x11::classNameFromWmClass(longClass).size(), x11::MaxClassNameLength);
}

TEST(WindowTraits, TitleDecodingFollowsThePropertyType)
{
    EXPECT_EQ(x11::decodeTitle("\xd0\x9f\xd0\xb8 \xe2\x82\xac", x11::TextEncoding::Utf8),
            QString::fromUtf8("\u041f\u0438 \u20ac"));
    EXPECT_EQ(
            x11::decodeTitle("Caf\xe9", x11::TextEncoding::Latin1), QString::fromUtf8("Caf\u00e9"));
    // Some clients store the terminating NUL; it is not part of the title.
    EXPECT_EQ(x11::decodeTitle(QByteArrayLiteral("Editor\0"), x11::TextEncoding::Latin1), "Editor");
}

TEST(ZPixmapImage, ReadsTheServersPixelLayouts)
{
    struct Case
    {
        const char *name;
        x11::PixelLayout layout;
        std::vector<std::uint8_t> bytes; // two pixels, red then blue, one row
        QSize size;
    };
    const Case cases[] = {
        { "32 bpp, LSB first", {}, { 0x00, 0x00, 0xff, 0x00, 0xff, 0x00, 0x00, 0x00 }, { 2, 1 } },
        { "32 bpp ARGB visual, alpha dropped", { 32, 32, 32, true },
                { 0x00, 0x00, 0xff, 0x80, 0xff, 0x00, 0x00, 0x00 }, { 2, 1 } },
        { "32 bpp, MSB first", { 24, 32, 32, false },
                { 0x00, 0xff, 0x00, 0x00, 0x00, 0x00, 0x00, 0xff }, { 2, 1 } },
        { "16 bpp 5-6-5, row padded to 32 bits", { 16, 16, 32, true, 0xf800, 0x07e0, 0x001f },
                { 0x00, 0xf8, 0x1f, 0x00 }, { 2, 1 } },
        { "24 bpp packed", { 24, 24, 32, true }, { 0x00, 0x00, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00 },
                { 2, 1 } },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const QImage image = x11::imageFromZPixmap(c.bytes, c.size, c.layout);
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.format(), QImage::Format_RGB32);
        EXPECT_EQ(image.pixel(0, 0), qRgb(255, 0, 0));
        EXPECT_EQ(image.pixel(1, 0), qRgb(0, 0, 255));
    }
}

TEST(ZPixmapImage, SkipsRowPaddingBetweenRows)
{
    // 16 bpp, width 1: each two-byte pixel is padded to four bytes per row.
    const x11::PixelLayout layout{ 16, 16, 32, true, 0xf800, 0x07e0, 0x001f };
    EXPECT_EQ(x11::bytesPerLine(1, layout), 4u);
    const std::vector<std::uint8_t> bytes = { 0x00, 0xf8, 0xaa, 0xaa, 0xe0, 0x07, 0xaa, 0xaa };
    const QImage image = x11::imageFromZPixmap(bytes, { 1, 2 }, layout);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.pixel(0, 0), qRgb(255, 0, 0));
    EXPECT_EQ(image.pixel(0, 1), qRgb(0, 255, 0));
}

TEST(ZPixmapImage, RefusesShortDataAndUnknownLayouts)
{
    const std::vector<std::uint8_t> sevenBytes(7, 0);
    EXPECT_TRUE(x11::imageFromZPixmap(sevenBytes, { 2, 1 }, {}).isNull()) << "read past the end";
    const std::vector<std::uint8_t> bytes(64, 0);
    EXPECT_TRUE(x11::imageFromZPixmap(bytes, { 2, 1 }, { 1, 1, 32, true }).isNull());
    EXPECT_TRUE(x11::imageFromZPixmap(bytes, { 0, 1 }, {}).isNull());
}

} // namespace
