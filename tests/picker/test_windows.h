#ifndef TANDEO_TESTS_PICKER_TEST_WINDOWS_H
#define TANDEO_TESTS_PICKER_TEST_WINDOWS_H

// Real X windows for the picker and capture tests, made over the test's own XCB connection the
// way applications make them: titles, classes, window types and states, transient owners,
// override-redirect, mapped or not, and a solid background the server paints on its own (so
// the pixels are there without anyone drawing). Every window goes when the connection closes.

#include <QByteArray>
#include <QRect>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct xcb_connection_t;

namespace testwindows {

struct WindowRecipe
{
    QString title{}; // set as _NET_WM_NAME (UTF-8) and, unless netNameOnly, as WM_NAME
    bool netNameOnly = false;
    std::optional<QByteArray> wmNameOnly{}; // set only WM_NAME (type STRING), to these bytes
    QByteArray wmClass = QByteArrayLiteral("h7test\0H7Test\0");
    std::vector<QByteArray> types{}; // e.g. "_NET_WM_WINDOW_TYPE_UTILITY"
    std::vector<QByteArray> states{}; // e.g. "_NET_WM_STATE_ABOVE"
    std::uint32_t transientFor = 0;
    bool overrideRedirect = false;
    bool mapped = true;
    QRect geometry = QRect(40, 40, 200, 150);
    std::uint32_t colour = 0x336699; // 0xRRGGBB on the 24-bit TrueColor screen
};

class TestDisplay
{
public:
    TestDisplay(); // $DISPLAY
    ~TestDisplay();
    TestDisplay(const TestDisplay &) = delete;
    TestDisplay &operator=(const TestDisplay &) = delete;

    bool isOpen() const;

    // Creates the window on top of every other, sets its properties, maps it when asked, and
    // waits until the server has done all of it.
    std::uint32_t create(const WindowRecipe &recipe);
    // A child window painted in its own colour (x, y relative to the parent).
    std::uint32_t addChild(std::uint32_t parent, const QRect &geometry, std::uint32_t colour);
    void raise(std::uint32_t window);
    void unmap(std::uint32_t window);
    void destroy(std::uint32_t window);
    void setTitle(std::uint32_t window, const QString &title);
    void sync();

private:
    std::uint32_t atom(const QByteArray &name);

    struct Disconnect
    {
        void operator()(xcb_connection_t *connection) const;
    };
    std::unique_ptr<xcb_connection_t, Disconnect> m_connection;
    std::uint32_t m_root = 0;
    std::uint32_t m_visual = 0;
};

// A title no other test process can be using at the same time.
QString uniqueTitle(const char *what);

} // namespace testwindows

#endif // TANDEO_TESTS_PICKER_TEST_WINDOWS_H
