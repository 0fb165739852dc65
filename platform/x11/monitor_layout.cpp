#include "monitor_layout.h"

namespace x11 {

std::vector<Monitor> choosableMonitors(const std::vector<Monitor> &reported, QSize screen)
{
    std::vector<Monitor> choosable;
    if (reported.size() < 2)
        return choosable;
    const QRect whole(QPoint(0, 0), screen);
    for (const Monitor &monitor : reported) {
        const QRect area = monitor.area & whole;
        if (area.isEmpty() || area == whole || monitor.name.isEmpty())
            continue;
        choosable.push_back({ monitor.name, area });
    }
    return choosable;
}

QString monitorLabel(const Monitor &monitor)
{
    return QString("%1, %2 x %3")
            .arg(monitor.name)
            .arg(monitor.area.width())
            .arg(monitor.area.height());
}

std::optional<QRect> monitorArea(
        const std::vector<Monitor> &reported, const QString &name, QSize screen)
{
    for (const Monitor &monitor : reported) {
        if (monitor.name != name)
            continue;
        const QRect area = monitor.area & QRect(QPoint(0, 0), screen);
        if (area.isEmpty())
            return std::nullopt;
        return area;
    }
    return std::nullopt;
}

} // namespace x11
