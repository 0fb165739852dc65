#ifndef TANDEO_PLATFORM_X11_WINDOW_TRAITS_H
#define TANDEO_PLATFORM_X11_WINDOW_TRAITS_H

// What the window layer reads from a top-level window's properties, as plain values: the
// extended style derived from its window type and state, its class name and its title. No X
// connection here; the window system adapter fetches the properties and hands the bytes over.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

namespace x11 {

// The extended style is a set of bits with the meanings the picker's filter was written for:
//
//   bit        name            set when
//   0x00000001 DialogFrame     type DIALOG, or state MODAL
//   0x00000008 TopMost         state ABOVE
//   0x00000080 ToolWindow      a type that is not an application window of its own (UTILITY,
//                              TOOLBAR, MENU, DROPDOWN_MENU, POPUP_MENU, TOOLTIP, NOTIFICATION,
//                              COMBO, DND, SPLASH, DOCK, DESKTOP), or state SKIP_TASKBAR
//   0x00000100 WindowEdge      type NORMAL or DIALOG, unless the window is override-redirect
//                              (no window manager ever frames it)
//   0x00040000 AppWindow       type NORMAL, unless state SKIP_TASKBAR
//
// The type is the first one of _NET_WM_WINDOW_TYPE this table knows; a window without a known
// type counts as DIALOG when it has a WM_TRANSIENT_FOR owner and as NORMAL otherwise, as the
// window manager treats it. So an ordinary application window is 0x40100, a plain tool window
// is exactly 0x80 ("tool window alone"), an override-redirect window that claims type NORMAL is
// exactly 0x40000 ("application window alone"), and a tool window kept above the others is 0x88.
namespace exstyle {
constexpr std::uint32_t DialogFrame = 0x00000001;
constexpr std::uint32_t TopMost = 0x00000008;
constexpr std::uint32_t ToolWindow = 0x00000080;
constexpr std::uint32_t WindowEdge = 0x00000100;
constexpr std::uint32_t AppWindow = 0x00040000;
} // namespace exstyle

enum class WindowType {
    Unknown, // an atom the table does not know; skipped
    Normal,
    Dialog,
    Utility,
    Toolbar,
    Menu,
    DropdownMenu,
    PopupMenu,
    Tooltip,
    Notification,
    Combo,
    Dnd,
    Splash,
    Dock,
    Desktop,
};

enum class WindowState {
    Unknown,
    Modal,
    Above,
    SkipTaskbar,
};

struct WindowHints
{
    std::vector<WindowType> types; // _NET_WM_WINDOW_TYPE in the order the window lists them
    std::vector<WindowState> states; // _NET_WM_STATE
    bool hasOwner = false; // WM_TRANSIENT_FOR names a window
    bool overrideRedirect = false;
};

// "_NET_WM_WINDOW_TYPE_UTILITY" -> Utility; Unknown for any other name.
WindowType windowTypeFromAtomName(const QByteArray &atomName);
// "_NET_WM_STATE_ABOVE" -> Above; Unknown for any other name.
WindowState windowStateFromAtomName(const QByteArray &atomName);

std::uint32_t extendedStyle(const WindowHints &hints);

// Class names are read into a buffer of this many characters.
constexpr int MaxClassNameLength = 500;

// WM_CLASS holds "instance\0class\0"; the class part is the window's class name. A property with
// one string only gives that string. At most MaxClassNameLength characters.
QString classNameFromWmClass(const QByteArray &wmClass);

// The encoding a text property was stored in.
enum class TextEncoding {
    Utf8, // UTF8_STRING (always for _NET_WM_NAME)
    Latin1, // STRING, and the ASCII subset of COMPOUND_TEXT
};

// A title property's bytes as text; a trailing NUL some clients store is dropped.
QString decodeTitle(const QByteArray &bytes, TextEncoding encoding);

} // namespace x11

#endif // TANDEO_PLATFORM_X11_WINDOW_TRAITS_H
