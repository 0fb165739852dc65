#ifndef TANDEO_PLATFORM_X11_MONITOR_LAYOUT_H
#define TANDEO_PLATFORM_X11_MONITOR_LAYOUT_H

// The monitors of an X screen as a user chooses among them: what the server reports (RandR
// monitors, each a named rectangle of the screen) turned into the list to offer and the area
// to grab. No X connection here.

#include <QRect>
#include <QSize>
#include <QString>

#include <optional>
#include <vector>

namespace x11 {

struct Monitor
{
    QString name; // as the server names it, e.g. "DP-1"
    QRect area; // on the screen, in pixels

    bool operator==(const Monitor &) const = default;
};

// The monitors worth a choice, in the server's order, their areas clipped to the screen. A
// monitor that shows the whole screen (the server's own monitor of an undivided screen, or a
// mirror) is the same as sharing everything and is left out, as is one outside the screen.
// Empty when the server reports fewer than two monitors: with one there is nothing to choose.
std::vector<Monitor> choosableMonitors(const std::vector<Monitor> &reported, QSize screen);

// The line a user reads for a monitor: "DP-1, 2560 x 1440".
QString monitorLabel(const Monitor &monitor);

// The area of the monitor of this name, clipped to the screen; empty when the server reports
// no such monitor or it lies outside the screen.
std::optional<QRect> monitorArea(
        const std::vector<Monitor> &reported, const QString &name, QSize screen);

} // namespace x11

#endif // TANDEO_PLATFORM_X11_MONITOR_LAYOUT_H
