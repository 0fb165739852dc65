#ifndef TANDEO_PLATFORM_X11_WINDOW_SYSTEM_H
#define TANDEO_PLATFORM_X11_WINDOW_SYSTEM_H

// The X11 window layer: finds, enumerates, describes and grabs the top-level windows of the
// display over its own XCB connection (independent of the Qt platform plugin in use, so it also
// works under the offscreen plugin as long as a display exists).
//
// Every call is one or a few round trips to the server and answers from what the server says
// at that moment. A window that no longer exists reads as an empty one: no title, no class, not
// visible, no owner, and no picture. Not thread-safe: use one WindowSystem from one thread (in the
// program each user of the layer keeps its own on the GUI thread).

#include "window_traits.h"

#include <QImage>
#include <QRect>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

struct xcb_connection_t;

namespace x11 {

// An X11 window id; 0 is "no window".
using WindowId = std::uint32_t;

class WindowSystem
{
public:
    // Connects to the named display; an empty name means $DISPLAY. Check isConnected().
    explicit WindowSystem(const QByteArray &displayName = QByteArray());
    ~WindowSystem();
    WindowSystem(const WindowSystem &) = delete;
    WindowSystem &operator=(const WindowSystem &) = delete;

    bool isConnected() const;

    // The root window of the default screen: it plays the desktop window.
    WindowId desktopWindow() const;

    // Top-level windows, front-most first: the window manager's client list in stacking order
    // (_NET_CLIENT_LIST_STACKING) when a window manager runs, else the root window's children.
    std::vector<WindowId> topLevelWindows() const;

    // The front-most top-level window whose title is exactly this text (visible or not); 0 when
    // there is none.
    WindowId findWindow(const QString &title) const;

    // Mapped with all its ancestors (viewable).
    bool isVisible(WindowId window) const;

    // The window named by WM_TRANSIENT_FOR; 0 for an unowned window.
    WindowId owner(WindowId window) const;

    // The window type, state, owner and override-redirect facts the extended style is made of.
    WindowHints hints(WindowId window) const;
    std::uint32_t extendedStyle(WindowId window) const { return x11::extendedStyle(hints(window)); }

    // The class part of WM_CLASS, at most MaxClassNameLength characters.
    QString className(WindowId window) const;

    // _NET_WM_NAME (UTF-8) when set, else WM_NAME.
    QString title(WindowId window) const;

    // The whole window including the window manager's frame, in screen coordinates.
    std::optional<QRect> windowRect(WindowId window) const;

    // Pixels from the top-left corner of the window itself (without the frame), size pixels
    // large. What lies outside the window or the screen, or cannot be read because the window
    // is not mapped, is black; an empty size gives one black pixel. A null image only when the
    // window no longer exists.
    QImage grabClient(WindowId window, QSize size) const;

    // The whole window including the window manager's frame, at the frame's size; a null image
    // only when the window no longer exists.
    QImage grabFrame(WindowId window) const;

private:
    struct Atoms;

    WindowId frameOf(WindowId window) const;
    QByteArray propertyBytes(WindowId window, std::uint32_t property, std::uint32_t *type) const;
    std::vector<std::uint32_t> propertyValues32(WindowId window, std::uint32_t property) const;
    bool windowManagerRuns() const;

    struct Disconnect
    {
        void operator()(xcb_connection_t *connection) const;
    };
    std::unique_ptr<xcb_connection_t, Disconnect> m_connection;
    WindowId m_root = 0;
    std::unique_ptr<Atoms> m_atoms;
};

} // namespace x11

#endif // TANDEO_PLATFORM_X11_WINDOW_SYSTEM_H
