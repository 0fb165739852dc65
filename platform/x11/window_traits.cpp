#include "window_traits.h"

#include <algorithm>
#include <utility>

namespace x11 {

namespace {

constexpr std::pair<const char *, WindowType> TypeNames[] = {
    { "_NET_WM_WINDOW_TYPE_NORMAL", WindowType::Normal },
    { "_NET_WM_WINDOW_TYPE_DIALOG", WindowType::Dialog },
    { "_NET_WM_WINDOW_TYPE_UTILITY", WindowType::Utility },
    { "_NET_WM_WINDOW_TYPE_TOOLBAR", WindowType::Toolbar },
    { "_NET_WM_WINDOW_TYPE_MENU", WindowType::Menu },
    { "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", WindowType::DropdownMenu },
    { "_NET_WM_WINDOW_TYPE_POPUP_MENU", WindowType::PopupMenu },
    { "_NET_WM_WINDOW_TYPE_TOOLTIP", WindowType::Tooltip },
    { "_NET_WM_WINDOW_TYPE_NOTIFICATION", WindowType::Notification },
    { "_NET_WM_WINDOW_TYPE_COMBO", WindowType::Combo },
    { "_NET_WM_WINDOW_TYPE_DND", WindowType::Dnd },
    { "_NET_WM_WINDOW_TYPE_SPLASH", WindowType::Splash },
    { "_NET_WM_WINDOW_TYPE_DOCK", WindowType::Dock },
    { "_NET_WM_WINDOW_TYPE_DESKTOP", WindowType::Desktop },
};

constexpr std::pair<const char *, WindowState> StateNames[] = {
    { "_NET_WM_STATE_MODAL", WindowState::Modal },
    { "_NET_WM_STATE_ABOVE", WindowState::Above },
    { "_NET_WM_STATE_SKIP_TASKBAR", WindowState::SkipTaskbar },
};

WindowType effectiveType(const WindowHints &hints)
{
    for (WindowType type : hints.types) {
        if (type != WindowType::Unknown)
            return type;
    }
    return hints.hasOwner ? WindowType::Dialog : WindowType::Normal;
}

bool hasState(const WindowHints &hints, WindowState state)
{
    return std::find(hints.states.begin(), hints.states.end(), state) != hints.states.end();
}

} // namespace

WindowType windowTypeFromAtomName(const QByteArray &atomName)
{
    for (const auto &[name, type] : TypeNames) {
        if (atomName == name)
            return type;
    }
    return WindowType::Unknown;
}

WindowState windowStateFromAtomName(const QByteArray &atomName)
{
    for (const auto &[name, state] : StateNames) {
        if (atomName == name)
            return state;
    }
    return WindowState::Unknown;
}

std::uint32_t extendedStyle(const WindowHints &hints)
{
    std::uint32_t style = 0;
    switch (effectiveType(hints)) {
    case WindowType::Normal:
        style = exstyle::AppWindow | exstyle::WindowEdge;
        break;
    case WindowType::Dialog:
        style = exstyle::DialogFrame | exstyle::WindowEdge;
        break;
    case WindowType::Unknown: // not reached: effectiveType never gives it
        break;
    default:
        style = exstyle::ToolWindow;
        break;
    }
    if (hasState(hints, WindowState::Modal))
        style |= exstyle::DialogFrame;
    if (hasState(hints, WindowState::Above))
        style |= exstyle::TopMost;
    // A window kept off the task bar is what a tool window is; it no longer counts as an
    // application window of its own.
    if (hasState(hints, WindowState::SkipTaskbar)) {
        style |= exstyle::ToolWindow;
        style &= ~exstyle::AppWindow;
    }
    if (hints.overrideRedirect)
        style &= ~exstyle::WindowEdge;
    return style;
}

QString classNameFromWmClass(const QByteArray &wmClass)
{
    const qsizetype firstEnd = wmClass.indexOf('\0');
    QByteArray name;
    if (firstEnd < 0) {
        name = wmClass;
    } else {
        name = wmClass.mid(firstEnd + 1);
        const qsizetype secondEnd = name.indexOf('\0');
        if (secondEnd >= 0)
            name.truncate(secondEnd);
        if (name.isEmpty())
            name = wmClass.left(firstEnd);
    }
    // WM_CLASS is a STRING property: Latin-1.
    return QString::fromLatin1(name).left(MaxClassNameLength);
}

QString decodeTitle(const QByteArray &bytes, TextEncoding encoding)
{
    QByteArray text = bytes;
    while (text.endsWith('\0'))
        text.chop(1);
    return encoding == TextEncoding::Utf8 ? QString::fromUtf8(text) : QString::fromLatin1(text);
}

} // namespace x11
