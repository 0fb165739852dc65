#ifndef TANDEO_PLATFORM_X11_MONITOR_LIST_H
#define TANDEO_PLATFORM_X11_MONITOR_LIST_H

// The RandR monitors of an X screen (RandR 1.5 and later), asked over a connection of the
// caller's or over one made for the question. Servers without RandR 1.5 report none.

#include "monitor_layout.h"

#include <QByteArray>

#include <cstdint>
#include <optional>
#include <vector>

struct xcb_connection_t;

namespace x11 {

// Makes the connection ready for the calls below: asks the extension's version (which must
// come before any other request of it) and subscribes the root window to the server's reports
// of changed screens, monitors and outputs. The first event number of those reports; empty
// without RandR 1.5 (the calls below then fail).
std::optional<std::uint8_t> startMonitors(xcb_connection_t *connection, std::uint32_t root);

// The question without waiting for its answer, so other requests can share the round trip.
struct MonitorsRequest
{
    unsigned int sequence = 0;
};
MonitorsRequest askMonitors(xcb_connection_t *connection, std::uint32_t root);

// A monitor as the answer names it: by its atom.
struct MonitorAtom
{
    std::uint32_t name = 0;
    QRect area;
};
// The answer to askMonitors(); empty when the server refused or the connection broke.
std::optional<std::vector<MonitorAtom>> takeMonitors(
        xcb_connection_t *connection, MonitorsRequest request);

// The monitors with their names (one more round trip for the names).
std::optional<std::vector<Monitor>> readMonitors(xcb_connection_t *connection, std::uint32_t root);

// The default screen of the display named (or $DISPLAY when empty) and its monitors, over a
// connection that lives for this call only. No monitors when there is no display or no
// RandR 1.5.
struct ScreenMonitors
{
    QSize screen;
    std::vector<Monitor> monitors;
};
ScreenMonitors readDisplayMonitors(const QByteArray &displayName = QByteArray());

} // namespace x11

#endif // TANDEO_PLATFORM_X11_MONITOR_LIST_H
