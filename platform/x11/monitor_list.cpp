#include "monitor_list.h"

#include <cstdlib>
#include <memory>
#include <xcb/randr.h>
#include <xcb/xcb.h>

namespace x11 {

namespace {

struct FreeDeleter
{
    void operator()(void *reply) const { std::free(reply); }
};

template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

struct ConnectionDeleter
{
    void operator()(xcb_connection_t *connection) const { xcb_disconnect(connection); }
};

} // namespace

std::optional<std::uint8_t> startMonitors(xcb_connection_t *connection, std::uint32_t root)
{
    const xcb_query_extension_reply_t *extension =
            xcb_get_extension_data(connection, &xcb_randr_id);
    if (!extension || !extension->present)
        return std::nullopt;
    Reply<xcb_randr_query_version_reply_t> version(xcb_randr_query_version_reply(
            connection, xcb_randr_query_version(connection, 1, 5), nullptr));
    if (!version || version->major_version < 1
            || (version->major_version == 1 && version->minor_version < 5))
        return std::nullopt;
    xcb_randr_select_input(connection, root,
            XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE | XCB_RANDR_NOTIFY_MASK_CRTC_CHANGE
                    | XCB_RANDR_NOTIFY_MASK_OUTPUT_CHANGE);
    return extension->first_event;
}

MonitorsRequest askMonitors(xcb_connection_t *connection, std::uint32_t root)
{
    // Active monitors only: one switched off shows nothing to share.
    return { xcb_randr_get_monitors(connection, root, 1).sequence };
}

std::optional<std::vector<MonitorAtom>> takeMonitors(
        xcb_connection_t *connection, MonitorsRequest request)
{
    xcb_generic_error_t *rawError = nullptr;
    Reply<xcb_randr_get_monitors_reply_t> reply(xcb_randr_get_monitors_reply(
            connection, xcb_randr_get_monitors_cookie_t{ request.sequence }, &rawError));
    Reply<xcb_generic_error_t> error(rawError);
    if (!reply || error)
        return std::nullopt;
    std::vector<MonitorAtom> monitors;
    for (xcb_randr_monitor_info_iterator_t it =
                    xcb_randr_get_monitors_monitors_iterator(reply.get());
            it.rem; xcb_randr_monitor_info_next(&it)) {
        const xcb_randr_monitor_info_t &info = *it.data;
        monitors.push_back({ info.name, QRect(info.x, info.y, info.width, info.height) });
    }
    return monitors;
}

std::optional<std::vector<Monitor>> readMonitors(xcb_connection_t *connection, std::uint32_t root)
{
    const std::optional<std::vector<MonitorAtom>> atoms =
            takeMonitors(connection, askMonitors(connection, root));
    if (!atoms)
        return std::nullopt;
    std::vector<xcb_get_atom_name_cookie_t> names;
    for (const MonitorAtom &monitor : *atoms)
        names.push_back(xcb_get_atom_name(connection, monitor.name));
    std::vector<Monitor> monitors;
    for (std::size_t i = 0; i < atoms->size(); ++i) {
        Reply<xcb_get_atom_name_reply_t> name(
                xcb_get_atom_name_reply(connection, names[i], nullptr));
        if (!name)
            continue;
        monitors.push_back({ QString::fromUtf8(xcb_get_atom_name_name(name.get()),
                                     xcb_get_atom_name_name_length(name.get())),
                (*atoms)[i].area });
    }
    return monitors;
}

ScreenMonitors readDisplayMonitors(const QByteArray &displayName)
{
    ScreenMonitors result;
    int screenNumber = 0;
    std::unique_ptr<xcb_connection_t, ConnectionDeleter> connection(
            xcb_connect(displayName.isEmpty() ? nullptr : displayName.constData(), &screenNumber));
    if (!connection || xcb_connection_has_error(connection.get()))
        return result;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        return result;
    const xcb_window_t root = screens.data->root;
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(
            connection.get(), xcb_get_geometry(connection.get(), root), nullptr));
    result.screen = geometry ? QSize(geometry->width, geometry->height)
                             : QSize(screens.data->width_in_pixels, screens.data->height_in_pixels);
    if (!startMonitors(connection.get(), root))
        return result;
    if (std::optional<std::vector<Monitor>> monitors = readMonitors(connection.get(), root))
        result.monitors = std::move(*monitors);
    return result;
}

} // namespace x11
