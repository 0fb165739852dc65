// The window layer against a real X server: windows made by the test the way applications
// make them, read back through the layer's own connection.

#include "test_windows.h"
#include "window_system.h"

#include <algorithm>
#include <gtest/gtest.h>

using testwindows::TestDisplay;
using testwindows::uniqueTitle;
using testwindows::WindowRecipe;

namespace {

constexpr std::uint32_t Red = 0xff0000;
constexpr std::uint32_t Blue = 0x0000ff;

class WindowSystemTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY") || !display.isOpen() || !windows.isConnected())
            GTEST_SKIP() << "needs an X display (run under Xvfb)";
    }

    std::ptrdiff_t positionOf(const std::vector<x11::WindowId> &list, x11::WindowId window)
    {
        const auto it = std::find(list.begin(), list.end(), window);
        return it == list.end() ? -1 : it - list.begin();
    }

    TestDisplay display;
    x11::WindowSystem windows;
};

TEST_F(WindowSystemTest, ListsTopLevelWindowsFrontMostFirst)
{
    const x11::WindowId first = display.create({ .title = uniqueTitle("first") });
    const x11::WindowId second = display.create({ .title = uniqueTitle("second") });
    const x11::WindowId hidden =
            display.create({ .title = uniqueTitle("hidden"), .mapped = false });
    const x11::WindowId child = display.addChild(first, QRect(0, 0, 10, 10), Red);

    std::vector<x11::WindowId> list = windows.topLevelWindows();
    EXPECT_LT(positionOf(list, hidden), positionOf(list, second));
    EXPECT_LT(positionOf(list, second), positionOf(list, first));
    EXPECT_GE(positionOf(list, first), 0);
    EXPECT_EQ(positionOf(list, child), -1) << "a child window is not top-level";

    display.raise(first);
    list = windows.topLevelWindows();
    EXPECT_LT(positionOf(list, first), positionOf(list, hidden)) << "raising changes the order";
}

TEST_F(WindowSystemTest, FindsTheFrontMostWindowWithExactlyTheTitle)
{
    const QString title = uniqueTitle("twin");
    const x11::WindowId back = display.create({ .title = title });
    const x11::WindowId front = display.create({ .title = title });
    display.create({ .title = title + " longer" });

    EXPECT_EQ(windows.findWindow(title), front);
    display.raise(back);
    EXPECT_EQ(windows.findWindow(title), back);
    EXPECT_EQ(windows.findWindow(title.left(title.size() - 1)), 0u) << "a prefix is no match";

    display.destroy(back);
    display.unmap(front);
    EXPECT_EQ(windows.findWindow(title), front) << "hidden windows are found as well";
    display.destroy(front);
    EXPECT_EQ(windows.findWindow(title), 0u);
}

TEST_F(WindowSystemTest, DescribesWindowsFromTheirProperties)
{
    const x11::WindowId base = display.create({ .title = uniqueTitle("base") });
    struct Case
    {
        const char *name;
        WindowRecipe recipe;
        bool visible;
        bool owned;
        std::uint32_t style;
        QString className;
    };
    const QByteArray utility = "_NET_WM_WINDOW_TYPE_UTILITY";
    const Case cases[] = {
        { "untyped application window", {}, true, false, 0x40100, "H7Test" },
        { "unmapped", { .mapped = false }, false, false, 0x40100, "H7Test" },
        { "explicit normal type", { .types = { "_NET_WM_WINDOW_TYPE_NORMAL" } }, true, false,
                0x40100, "H7Test" },
        { "utility: tool window alone", { .types = { utility } }, true, false, 0x80, "H7Test" },
        { "unknown type skipped", { .types = { "_X_UNHEARD_OF", utility } }, true, false, 0x80,
                "H7Test" },
        { "utility kept above", { .types = { utility }, .states = { "_NET_WM_STATE_ABOVE" } }, true,
                false, 0x88, "H7Test" },
        { "dock", { .types = { "_NET_WM_WINDOW_TYPE_DOCK" } }, true, false, 0x80, "H7Test" },
        { "dialog", { .types = { "_NET_WM_WINDOW_TYPE_DIALOG" } }, true, false, 0x101, "H7Test" },
        { "transient without type: dialog", { .transientFor = base }, true, true, 0x101, "H7Test" },
        { "normal kept off the task bar", { .states = { "_NET_WM_STATE_SKIP_TASKBAR" } }, true,
                false, 0x180, "H7Test" },
        { "override-redirect normal: application window alone",
                { .types = { "_NET_WM_WINDOW_TYPE_NORMAL" }, .overrideRedirect = true }, true,
                false, 0x40000, "H7Test" },
        { "one-string class", { .wmClass = "Solo" }, true, false, 0x40100, "Solo" },
        { "no class", { .wmClass = QByteArray() }, true, false, 0x40100, QString() },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const x11::WindowId window = display.create(c.recipe);
        EXPECT_EQ(windows.isVisible(window), c.visible);
        EXPECT_EQ(windows.owner(window), c.owned ? base : 0u);
        EXPECT_EQ(windows.extendedStyle(window), c.style);
        EXPECT_EQ(windows.className(window), c.className);
    }
}

TEST_F(WindowSystemTest, ReadsTitlesInTheirEncoding)
{
    const QString cyrillic = QString::fromUtf8("\u041e\u043a\u043d\u043e ") + uniqueTitle("utf8");
    const x11::WindowId netOnly = display.create({ .title = cyrillic, .netNameOnly = true });
    EXPECT_EQ(windows.title(netOnly), cyrillic);

    const x11::WindowId latin1 = display.create({ .wmNameOnly = QByteArray("Caf\xe9 h7") });
    EXPECT_EQ(windows.title(latin1), QString::fromUtf8("Caf\u00e9 h7"));

    const x11::WindowId untitled = display.create({});
    EXPECT_TRUE(windows.title(untitled).isEmpty());

    display.setTitle(untitled, "renamed h7");
    EXPECT_EQ(windows.title(untitled), "renamed h7") << "read afresh on every call";
}

TEST_F(WindowSystemTest, GrabsTheWindowsPixels)
{
    const QRect geometry(60, 80, 200, 150);
    const x11::WindowId window = display.create({ .geometry = geometry, .colour = Red });
    display.addChild(window, QRect(100, 0, 100, 150), Blue);
    display.raise(window);

    EXPECT_EQ(windows.windowRect(window), geometry);

    const QImage picture = windows.grabClient(window, geometry.size());
    ASSERT_EQ(picture.size(), geometry.size());
    EXPECT_EQ(picture.pixel(10, 75), qRgb(255, 0, 0));
    EXPECT_EQ(picture.pixel(190, 75), qRgb(0, 0, 255)) << "child windows are part of it";

    const QImage wider = windows.grabClient(window, QSize(260, 150));
    ASSERT_EQ(wider.size(), QSize(260, 150));
    EXPECT_EQ(wider.pixel(190, 75), qRgb(0, 0, 255));
    EXPECT_EQ(wider.pixel(230, 75), qRgb(0, 0, 0)) << "beyond the window it is black";

    const QImage frame = windows.grabFrame(window);
    EXPECT_EQ(frame.size(), geometry.size());
    EXPECT_EQ(frame.pixel(10, 10), qRgb(255, 0, 0));

    EXPECT_EQ(windows.grabClient(window, QSize(0, 0)).size(), QSize(1, 1));
}

TEST_F(WindowSystemTest, GrabStopsAtTheScreenEdge)
{
    const std::optional<QRect> screen = windows.windowRect(windows.desktopWindow());
    ASSERT_TRUE(screen);
    const QRect geometry(screen->width() - 30, 200, 100, 50);
    const x11::WindowId window = display.create({ .geometry = geometry, .colour = Blue });
    display.raise(window);

    const QImage picture = windows.grabClient(window, geometry.size());
    ASSERT_EQ(picture.size(), geometry.size()) << "the part on the screen must not fail the grab";
    EXPECT_EQ(picture.pixel(10, 25), qRgb(0, 0, 255));
    EXPECT_EQ(picture.pixel(60, 25), qRgb(0, 0, 0));
}

TEST_F(WindowSystemTest, OnlyAWindowThatIsGoneGivesNoPicture)
{
    const x11::WindowId window = display.create({ .title = uniqueTitle("gone"), .mapped = false });
    const QImage unmapped = windows.grabClient(window, QSize(40, 30));
    ASSERT_FALSE(unmapped.isNull()) << "an unmapped window still exists";
    EXPECT_EQ(unmapped.pixel(5, 5), qRgb(0, 0, 0));
    EXPECT_FALSE(windows.grabFrame(window).isNull());

    display.destroy(window);
    EXPECT_TRUE(windows.grabClient(window, QSize(40, 30)).isNull());
    EXPECT_TRUE(windows.grabClient(window, QSize(0, 0)).isNull());
    EXPECT_TRUE(windows.grabFrame(window).isNull());
    EXPECT_FALSE(windows.windowRect(window));
    EXPECT_FALSE(windows.isVisible(window));
    EXPECT_TRUE(windows.title(window).isEmpty());
    EXPECT_TRUE(windows.className(window).isEmpty());
}

} // namespace
