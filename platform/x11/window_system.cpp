#include "window_system.h"

#include "server_pixels.h"
#include "zpixmap_image.h"

#include <QLoggingCategory>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <span>
#include <xcb/xcb.h>

Q_LOGGING_CATEGORY(lcX11, "tandeo.x11")

namespace x11 {

namespace {

// Every reply and error of XCB is malloc'ed and belongs to the caller.
struct FreeDeleter
{
    void operator()(void *p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;
using Error = Reply<xcb_generic_error_t>;

// Titles and class names are short; this only bounds what a hostile property can make us read
// (in 32-bit units, so 256 KiB).
constexpr std::uint32_t MaxPropertyLongs = 65536;

constexpr std::array NamedAtoms = {
    "_NET_WM_NAME",
    "UTF8_STRING",
    "COMPOUND_TEXT",
    "_NET_WM_WINDOW_TYPE",
    "_NET_WM_STATE",
    "_NET_CLIENT_LIST_STACKING",
    "_NET_SUPPORTING_WM_CHECK",
};

QImage blackImage(QSize size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::black);
    return image;
}

} // namespace

struct WindowSystem::Atoms
{
    xcb_atom_t netWmName = XCB_ATOM_NONE;
    xcb_atom_t utf8String = XCB_ATOM_NONE;
    xcb_atom_t compoundText = XCB_ATOM_NONE;
    xcb_atom_t netWmWindowType = XCB_ATOM_NONE;
    xcb_atom_t netWmState = XCB_ATOM_NONE;
    xcb_atom_t netClientListStacking = XCB_ATOM_NONE;
    xcb_atom_t netSupportingWmCheck = XCB_ATOM_NONE;
    std::vector<std::pair<xcb_atom_t, WindowType>> types;
    std::vector<std::pair<xcb_atom_t, WindowState>> states;
};

void WindowSystem::Disconnect::operator()(xcb_connection_t *connection) const
{
    xcb_disconnect(connection);
}

WindowSystem::WindowSystem(const QByteArray &displayName) : m_atoms(std::make_unique<Atoms>())
{
    int screenNumber = 0;
    m_connection.reset(
            xcb_connect(displayName.isEmpty() ? nullptr : displayName.constData(), &screenNumber));
    if (xcb_connection_has_error(m_connection.get())) {
        qCWarning(lcX11) << "no connection to the X display" << displayName;
        return;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(m_connection.get()));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
        xcb_screen_next(&screens);
    if (screens.rem > 0)
        m_root = screens.data->root;

    // Intern everything in one go: all requests first, then the replies.
    std::vector<QByteArray> names(NamedAtoms.begin(), NamedAtoms.end());
    const QByteArray typePrefix = "_NET_WM_WINDOW_TYPE_";
    for (const char *type :
            { "NORMAL", "DIALOG", "UTILITY", "TOOLBAR", "MENU", "DROPDOWN_MENU", "POPUP_MENU",
                    "TOOLTIP", "NOTIFICATION", "COMBO", "DND", "SPLASH", "DOCK", "DESKTOP" })
        names.push_back(typePrefix + type);
    const QByteArray statePrefix = "_NET_WM_STATE_";
    for (const char *state : { "MODAL", "ABOVE", "SKIP_TASKBAR" })
        names.push_back(statePrefix + state);

    std::vector<xcb_intern_atom_cookie_t> cookies;
    for (const QByteArray &name : names)
        cookies.push_back(xcb_intern_atom(m_connection.get(), 0, name.size(), name.constData()));
    std::vector<xcb_atom_t> atoms;
    for (xcb_intern_atom_cookie_t cookie : cookies) {
        Reply<xcb_intern_atom_reply_t> reply(
                xcb_intern_atom_reply(m_connection.get(), cookie, nullptr));
        atoms.push_back(reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE));
    }
    m_atoms->netWmName = atoms[0];
    m_atoms->utf8String = atoms[1];
    m_atoms->compoundText = atoms[2];
    m_atoms->netWmWindowType = atoms[3];
    m_atoms->netWmState = atoms[4];
    m_atoms->netClientListStacking = atoms[5];
    m_atoms->netSupportingWmCheck = atoms[6];
    for (std::size_t i = NamedAtoms.size(); i < names.size(); ++i) {
        if (const WindowType type = windowTypeFromAtomName(names[i]); type != WindowType::Unknown)
            m_atoms->types.emplace_back(atoms[i], type);
        else
            m_atoms->states.emplace_back(atoms[i], windowStateFromAtomName(names[i]));
    }
}

WindowSystem::~WindowSystem() = default;

bool WindowSystem::isConnected() const
{
    return m_root != 0 && !xcb_connection_has_error(m_connection.get());
}

WindowId WindowSystem::desktopWindow() const
{
    return m_root;
}

QByteArray WindowSystem::propertyBytes(
        WindowId window, std::uint32_t property, std::uint32_t *type) const
{
    if (type)
        *type = XCB_ATOM_NONE;
    if (!isConnected() || window == 0 || property == XCB_ATOM_NONE)
        return QByteArray();
    xcb_get_property_cookie_t cookie = xcb_get_property(m_connection.get(), 0, window, property,
            XCB_GET_PROPERTY_TYPE_ANY, 0, MaxPropertyLongs);
    Reply<xcb_get_property_reply_t> reply(
            xcb_get_property_reply(m_connection.get(), cookie, nullptr));
    if (!reply || reply->type == XCB_ATOM_NONE)
        return QByteArray();
    if (type)
        *type = reply->type;
    const int bytes = xcb_get_property_value_length(reply.get());
    return QByteArray(static_cast<const char *>(xcb_get_property_value(reply.get())), bytes);
}

std::vector<std::uint32_t> WindowSystem::propertyValues32(
        WindowId window, std::uint32_t property) const
{
    std::vector<std::uint32_t> values;
    if (!isConnected() || window == 0 || property == XCB_ATOM_NONE)
        return values;
    xcb_get_property_cookie_t cookie = xcb_get_property(m_connection.get(), 0, window, property,
            XCB_GET_PROPERTY_TYPE_ANY, 0, MaxPropertyLongs);
    Reply<xcb_get_property_reply_t> reply(
            xcb_get_property_reply(m_connection.get(), cookie, nullptr));
    if (!reply || reply->format != 32)
        return values;
    const auto *data = static_cast<const std::uint32_t *>(xcb_get_property_value(reply.get()));
    values.assign(data, data + xcb_get_property_value_length(reply.get()) / 4);
    return values;
}

bool WindowSystem::windowManagerRuns() const
{
    // A window manager that has gone may leave its properties on the root window behind; the
    // check window it names must exist and name itself.
    const std::vector<std::uint32_t> check =
            propertyValues32(m_root, m_atoms->netSupportingWmCheck);
    if (check.empty() || check.front() == 0)
        return false;
    const std::vector<std::uint32_t> self =
            propertyValues32(check.front(), m_atoms->netSupportingWmCheck);
    return !self.empty() && self.front() == check.front();
}

std::vector<WindowId> WindowSystem::topLevelWindows() const
{
    std::vector<WindowId> windows;
    if (!isConnected())
        return windows;
    if (windowManagerRuns()) {
        windows = propertyValues32(m_root, m_atoms->netClientListStacking);
    }
    if (windows.empty()) {
        xcb_query_tree_cookie_t cookie = xcb_query_tree(m_connection.get(), m_root);
        Reply<xcb_query_tree_reply_t> tree(
                xcb_query_tree_reply(m_connection.get(), cookie, nullptr));
        if (tree) {
            const xcb_window_t *children = xcb_query_tree_children(tree.get());
            windows.assign(children, children + xcb_query_tree_children_length(tree.get()));
        }
    }
    // Both lists run from the bottom of the stack to the top.
    std::reverse(windows.begin(), windows.end());
    return windows;
}

WindowId WindowSystem::findWindow(const QString &title) const
{
    for (WindowId window : topLevelWindows()) {
        if (this->title(window) == title)
            return window;
    }
    return 0;
}

bool WindowSystem::isVisible(WindowId window) const
{
    if (!isConnected() || window == 0)
        return false;
    xcb_get_window_attributes_cookie_t cookie =
            xcb_get_window_attributes(m_connection.get(), window);
    Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(m_connection.get(), cookie, nullptr));
    return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

WindowId WindowSystem::owner(WindowId window) const
{
    const std::vector<std::uint32_t> values = propertyValues32(window, XCB_ATOM_WM_TRANSIENT_FOR);
    return values.empty() ? 0 : values.front();
}

WindowHints WindowSystem::hints(WindowId window) const
{
    WindowHints hints;
    if (!isConnected() || window == 0)
        return hints;
    for (std::uint32_t atom : propertyValues32(window, m_atoms->netWmWindowType)) {
        const auto known = std::find_if(m_atoms->types.begin(), m_atoms->types.end(),
                [atom](const auto &entry) { return entry.first == atom; });
        hints.types.push_back(known == m_atoms->types.end() ? WindowType::Unknown : known->second);
    }
    for (std::uint32_t atom : propertyValues32(window, m_atoms->netWmState)) {
        const auto known = std::find_if(m_atoms->states.begin(), m_atoms->states.end(),
                [atom](const auto &entry) { return entry.first == atom; });
        hints.states.push_back(
                known == m_atoms->states.end() ? WindowState::Unknown : known->second);
    }
    hints.hasOwner = owner(window) != 0;
    xcb_get_window_attributes_cookie_t cookie =
            xcb_get_window_attributes(m_connection.get(), window);
    Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(m_connection.get(), cookie, nullptr));
    hints.overrideRedirect = attributes && attributes->override_redirect;
    return hints;
}

QString WindowSystem::className(WindowId window) const
{
    return classNameFromWmClass(propertyBytes(window, XCB_ATOM_WM_CLASS, nullptr));
}

QString WindowSystem::title(WindowId window) const
{
    std::uint32_t type = XCB_ATOM_NONE;
    const QByteArray netName = propertyBytes(window, m_atoms->netWmName, &type);
    if (!netName.isEmpty() && type == m_atoms->utf8String)
        return decodeTitle(netName, TextEncoding::Utf8);
    const QByteArray name = propertyBytes(window, XCB_ATOM_WM_NAME, &type);
    return decodeTitle(
            name, type == m_atoms->utf8String ? TextEncoding::Utf8 : TextEncoding::Latin1);
}

WindowId WindowSystem::frameOf(WindowId window) const
{
    // Climb until the parent is the root window: a reparenting window manager puts its frame
    // there; without one the window is its own frame.
    WindowId current = window;
    for (int depth = 0; depth < 64; ++depth) {
        xcb_query_tree_cookie_t cookie = xcb_query_tree(m_connection.get(), current);
        Reply<xcb_query_tree_reply_t> tree(
                xcb_query_tree_reply(m_connection.get(), cookie, nullptr));
        if (!tree)
            return 0;
        if (tree->parent == m_root || tree->parent == XCB_WINDOW_NONE)
            return current;
        current = tree->parent;
    }
    return current;
}

std::optional<QRect> WindowSystem::windowRect(WindowId window) const
{
    if (!isConnected() || window == 0)
        return std::nullopt;
    const WindowId frame = frameOf(window);
    if (frame == 0)
        return std::nullopt;
    xcb_get_geometry_cookie_t geometryCookie = xcb_get_geometry(m_connection.get(), frame);
    xcb_translate_coordinates_cookie_t originCookie =
            xcb_translate_coordinates(m_connection.get(), frame, m_root, 0, 0);
    Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(m_connection.get(), geometryCookie, nullptr));
    Reply<xcb_translate_coordinates_reply_t> origin(
            xcb_translate_coordinates_reply(m_connection.get(), originCookie, nullptr));
    if (!geometry || !origin)
        return std::nullopt;
    return QRect(origin->dst_x, origin->dst_y, geometry->width, geometry->height);
}

QImage WindowSystem::grabClient(WindowId window, QSize size) const
{
    if (!isConnected() || window == 0)
        return QImage();
    xcb_get_geometry_cookie_t geometryCookie = xcb_get_geometry(m_connection.get(), window);
    xcb_translate_coordinates_cookie_t originCookie =
            xcb_translate_coordinates(m_connection.get(), window, m_root, 0, 0);
    xcb_get_geometry_cookie_t rootCookie = xcb_get_geometry(m_connection.get(), m_root);
    Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(m_connection.get(), geometryCookie, nullptr));
    Reply<xcb_translate_coordinates_reply_t> origin(
            xcb_translate_coordinates_reply(m_connection.get(), originCookie, nullptr));
    Reply<xcb_get_geometry_reply_t> rootGeometry(
            xcb_get_geometry_reply(m_connection.get(), rootCookie, nullptr));
    if (!geometry || !origin || !rootGeometry)
        return QImage(); // the window is gone

    if (size.isEmpty())
        return blackImage(QSize(1, 1));
    QImage picture = blackImage(size);
    if (picture.isNull())
        return picture;

    // The server gives only what is inside the window and on the screen; the rest stays black.
    const QRect inWindow =
            QRect(QPoint(0, 0), size) & QRect(0, 0, geometry->width, geometry->height);
    const QRect screen = QRect(0, 0, rootGeometry->width, rootGeometry->height)
                                 .translated(-origin->dst_x, -origin->dst_y);
    const QRect readable = inWindow & screen;
    if (readable.isEmpty())
        return picture;

    xcb_get_image_cookie_t imageCookie =
            xcb_get_image(m_connection.get(), XCB_IMAGE_FORMAT_Z_PIXMAP, window,
                    std::int16_t(readable.x()), std::int16_t(readable.y()),
                    std::uint16_t(readable.width()), std::uint16_t(readable.height()), ~0u);
    xcb_generic_error_t *rawError = nullptr;
    Reply<xcb_get_image_reply_t> image(
            xcb_get_image_reply(m_connection.get(), imageCookie, &rawError));
    Error error(rawError);
    if (!image) // not mapped: the window exists but shows nothing
        return picture;

    const PixelLayout layout =
            serverPixelLayout(xcb_get_setup(m_connection.get()), image->depth, image->visual);
    const std::span<const std::uint8_t> bytes(
            xcb_get_image_data(image.get()), std::size_t(xcb_get_image_data_length(image.get())));
    const QImage pixels = imageFromZPixmap(bytes, readable.size(), layout);
    if (pixels.isNull()) {
        qCWarning(lcX11) << "cannot read pixels of depth" << layout.depth << "at"
                         << layout.bitsPerPixel << "bits per pixel";
        return picture;
    }
    for (int y = 0; y < pixels.height(); ++y) {
        std::memcpy(picture.scanLine(readable.y() + y) + readable.x() * 4, pixels.constScanLine(y),
                std::size_t(pixels.width()) * 4);
    }
    return picture;
}

QImage WindowSystem::grabFrame(WindowId window) const
{
    if (!isConnected() || window == 0)
        return QImage();
    const WindowId frame = frameOf(window);
    const std::optional<QRect> rect = windowRect(window);
    if (frame == 0 || !rect)
        return QImage();
    return grabClient(frame, rect->size());
}

} // namespace x11
