// The desktop capture with a source that reports what changed: kept files for a still
// desktop, changed rows redone into the kept planes, and files equal to whole captures.

#include "desktop_capture.h"
#include "test_pictures.h"

#include <QPainter>

#include <gtest/gtest.h>

namespace {

using capture::DesktopCapture;
using capture::DesktopChanges;
using capture::PixelView;

// A desktop in memory that reports the rows drawn on, as the X server does. A grab of some
// rows copies only those rows into the picture handed out, so a capture that reads rows it
// did not grab again sees stale pixels.
class ReportingSource : public capture::ScreenSource
{
public:
    explicit ReportingSource(const QImage &desktop)
        : m_desktop(desktop.convertToFormat(QImage::Format_RGB32)),
          m_grabbed(m_desktop.size(), QImage::Format_RGB32)
    {
        m_grabbed.fill(Qt::magenta);
    }

    void draw(const QRect &area, const QColor &colour)
    {
        QPainter(&m_desktop).fillRect(area, colour);
        m_changed |= area & m_desktop.rect();
    }
    const QImage &desktop() const { return m_desktop; }
    std::pair<int, int> lastRows() const { return m_lastRows; }

    QSize size() override { return m_desktop.size(); }
    std::optional<PixelView> grab() override { return grabRows(0, m_desktop.height()); }
    std::optional<PixelView> grabRows(int top, int bottom) override
    {
        countGrab();
        m_lastRows = { top, bottom };
        for (int row = top; row < bottom; ++row)
            std::memcpy(m_grabbed.scanLine(row), m_desktop.constScanLine(row),
                    std::size_t(m_desktop.bytesPerLine()));
        return capture::viewOf(m_grabbed);
    }
    DesktopChanges takeChanges() override
    {
        const DesktopChanges changes = m_first
                ? DesktopChanges::rows(0, m_desktop.height())
                : DesktopChanges::rows(m_changed.top(), m_changed.top() + m_changed.height());
        m_first = false;
        m_changed = QRect();
        return changes;
    }

private:
    QImage m_desktop;
    QImage m_grabbed;
    QRect m_changed;
    bool m_first = true;
    std::pair<int, int> m_lastRows;
};

QByteArray wholeCapture(const QImage &desktop, QSize target)
{
    DesktopCapture fresh(std::make_unique<capture::ImageScreenSource>(desktop));
    QByteArray jpeg;
    EXPECT_TRUE(fresh.captureJpeg(target, jpeg));
    return jpeg;
}

struct Change
{
    const char *what;
    QRect area;
    DesktopCapture::Work work;
};

class DesktopChangesTest : public testing::TestWithParam<QSize>
{
protected:
    void SetUp() override
    {
        auto owned = std::make_unique<ReportingSource>(
                testpictures::withTextPanels(testpictures::photoLike({ 1920, 1080 }, 5)));
        source = owned.get();
        desktopCapture = std::make_unique<DesktopCapture>(std::move(owned));
    }

    ReportingSource *source = nullptr;
    std::unique_ptr<DesktopCapture> desktopCapture;
};

TEST_P(DesktopChangesTest, StillDesktopGivesTheKeptFileWithoutAGrab)
{
    const QSize target = GetParam();
    capture::Frame frame;
    ASSERT_TRUE(desktopCapture->captureFrame(target, frame));
    EXPECT_EQ(desktopCapture->lastWork(), DesktopCapture::Work::Whole);
    EXPECT_EQ(source->grabCount(), 1u);
    const QByteArray first = frame.jpeg;
    for (int pull = 0; pull < 3; ++pull) {
        ASSERT_TRUE(desktopCapture->captureFrame(target, frame));
        EXPECT_EQ(desktopCapture->lastWork(), DesktopCapture::Work::Kept);
        EXPECT_TRUE(frame.jpeg == first);
        EXPECT_EQ(frame.size, target);
    }
    EXPECT_EQ(source->grabCount(), 1u);
    EXPECT_TRUE(first == wholeCapture(source->desktop(), target));

    // Another size is a new picture, even of a still desktop.
    ASSERT_TRUE(desktopCapture->captureFrame({ 640, 360 }, frame));
    EXPECT_EQ(desktopCapture->lastWork(), DesktopCapture::Work::Whole);
    EXPECT_EQ(source->grabCount(), 2u);
    EXPECT_EQ(QImage::fromData(frame.jpeg).size(), QSize(640, 360));
}

TEST_P(DesktopChangesTest, ChangedRowsGiveTheFileOfAWholeCapture)
{
    const QSize target = GetParam();
    QByteArray jpeg;
    ASSERT_TRUE(desktopCapture->captureJpeg(target, jpeg));
    const Change changes[] = {
        { "top-left corner", QRect(0, 0, 40, 30), DesktopCapture::Work::ChangedRows },
        { "clock, bottom right", QRect(1800, 1050, 110, 30), DesktopCapture::Work::ChangedRows },
        { "one odd row", QRect(300, 541, 900, 1), DesktopCapture::Work::ChangedRows },
        { "last row", QRect(0, 1079, 1920, 1), DesktopCapture::Work::ChangedRows },
        { "two rows across a band edge", QRect(10, 479, 50, 2), DesktopCapture::Work::ChangedRows },
        { "most of the desktop", QRect(0, 100, 1920, 900), DesktopCapture::Work::Whole },
        { "a strip after the big change", QRect(700, 333, 64, 17),
                DesktopCapture::Work::ChangedRows },
    };
    int colour = 0;
    for (const Change &change : changes) {
        SCOPED_TRACE(change.what);
        source->draw(change.area, QColor::fromHsv((colour += 70) % 360, 200, 220));
        const std::uint64_t grabs = source->grabCount();
        ASSERT_TRUE(desktopCapture->captureJpeg(target, jpeg));
        EXPECT_EQ(desktopCapture->lastWork(), change.work);
        EXPECT_EQ(source->grabCount(), grabs + 1);
        if (change.work == DesktopCapture::Work::ChangedRows) {
            // Only a little more than the changed rows was read.
            const auto [top, bottom] = source->lastRows();
            EXPECT_LE(top, change.area.top());
            EXPECT_GE(bottom, change.area.bottom() + 1);
            EXPECT_LE(bottom - top, change.area.height() + 12);
        }
        EXPECT_TRUE(jpeg == wholeCapture(source->desktop(), target));
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, DesktopChangesTest,
        testing::Values(QSize(1280, 720), QSize(1024, 576), QSize(1366, 769), QSize(2560, 1440)),
        [](const testing::TestParamInfo<QSize> &info) {
            return std::to_string(info.param.width()) + "x" + std::to_string(info.param.height());
        });

TEST(DesktopChanges, SourcesThatCannotTellAreGrabbedEveryTime)
{
    auto owned =
            std::make_unique<capture::ImageScreenSource>(testpictures::colourGrid({ 800, 600 }));
    capture::ImageScreenSource *source = owned.get();
    DesktopCapture desktopCapture(std::move(owned));
    QByteArray jpeg;
    for (std::uint64_t pull = 1; pull <= 3; ++pull) {
        ASSERT_TRUE(desktopCapture.captureJpeg({ 400, 300 }, jpeg));
        EXPECT_EQ(desktopCapture.lastWork(), DesktopCapture::Work::Whole);
        EXPECT_EQ(source->grabCount(), pull);
    }
    // A new picture shows at once.
    source->setImage(testpictures::photoLike({ 800, 600 }));
    ASSERT_TRUE(desktopCapture.captureJpeg({ 400, 300 }, jpeg));
    EXPECT_TRUE(jpeg == wholeCapture(testpictures::photoLike({ 800, 600 }), { 400, 300 }));
}

TEST(DesktopChanges, APictureEncodedFromOutsideIsNotKept)
{
    auto owned = std::make_unique<ReportingSource>(testpictures::photoLike({ 1920, 1080 }));
    ReportingSource *source = owned.get();
    DesktopCapture desktopCapture(std::move(owned));
    QByteArray jpeg, other;
    ASSERT_TRUE(desktopCapture.captureJpeg({ 1280, 720 }, jpeg));
    const QImage grid = testpictures::colourGrid({ 1920, 1080 });
    ASSERT_TRUE(desktopCapture.encodePicture(*capture::viewOf(grid), { 1280, 720 }, other));
    // The planes now hold the grid: the still desktop must be grabbed again, not patched.
    source->draw(QRect(0, 0, 10, 10), Qt::red);
    ASSERT_TRUE(desktopCapture.captureJpeg({ 1280, 720 }, jpeg));
    EXPECT_EQ(desktopCapture.lastWork(), DesktopCapture::Work::Whole);
    EXPECT_TRUE(jpeg == wholeCapture(source->desktop(), { 1280, 720 }));
}

} // namespace
