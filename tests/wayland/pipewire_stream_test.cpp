// The PipeWire side of screen sharing against real producers in the stack's daemon: every
// layout the stream offers arrives as blue, green, red (the stand-in portal sends only its
// preferred one).

#include "portal_screen_source.h"
#include "qstring_printer.h"
#include "wayland_fixture.h"

#include <unistd.h>

using namespace capture;

namespace {

class PipeWireStreamTest : public waylandtest::PipeWireTest
{
protected:
    // The source over a fresh connection to the daemon, reading node.
    std::unique_ptr<PortalScreenSource> openSource(quint32 node)
    {
        const int fd = waylandtest::connectPipeWire();
        EXPECT_GE(fd, 0);
        ScreenCastStream granted;
        granted.pipeWireFd = QDBusUnixFileDescriptor(fd); // keeps a duplicate
        close(fd);
        granted.nodeId = node;
        QString error;
        auto source = PortalScreenSource::open(granted, nullptr, &error);
        EXPECT_TRUE(source) << error.toStdString();
        return source;
    }
};

class PipeWireLayoutTest : public PipeWireStreamTest, public ::testing::WithParamInterface<QString>
{
};

TEST_P(PipeWireLayoutTest, PicturesArriveAsBlueGreenRed)
{
    // Red and blue apart, so a layout read the wrong way round shows.
    const QColor colour(0x20, 0x60, 0xd0);
    // Rows of an odd number of pixels.
    const QSize size(317, 201);
    const quint32 node = startProducer(GetParam(), size, colour);
    ASSERT_NE(node, 0u);
    auto source = openSource(node);
    ASSERT_TRUE(source);

    EXPECT_EQ(source->size(), size);
    const std::optional<PixelView> picture = source->grab();
    ASSERT_TRUE(picture);
    EXPECT_EQ(source->stream().negotiatedFormat(), GetParam());
    ASSERT_EQ(picture->size(), size);
    for (const QPoint point :
            { QPoint(0, 0), QPoint(316, 0), QPoint(158, 100), QPoint(0, 200), QPoint(316, 200) }) {
        const QColor seen = waylandtest::pixelAt(*picture, point.x(), point.y());
        EXPECT_TRUE(waylandtest::near(seen, colour, 0))
                << "at " << point.x() << "," << point.y() << ": " << seen.name().toStdString();
    }
    EXPECT_GE(source->stream().picturesReceived(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, PipeWireLayoutTest,
        ::testing::Values(QStringLiteral("BGRx"), QStringLiteral("BGRA"), QStringLiteral("RGBx")),
        [](const auto &info) { return info.param.toStdString(); });

} // namespace
