#ifndef TANDEO_PLATFORM_SESSION_PORTAL_NAMES_H
#define TANDEO_PLATFORM_SESSION_PORTAL_NAMES_H

// Where the desktop portal answers on the session bus, for every part that asks it something.

#include <QString>

namespace portal {

inline const QString Service = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString Path = QStringLiteral("/org/freedesktop/portal/desktop");
inline const QString RequestInterface = QStringLiteral("org.freedesktop.portal.Request");
inline const QString SessionInterface = QStringLiteral("org.freedesktop.portal.Session");

} // namespace portal

#endif // TANDEO_PLATFORM_SESSION_PORTAL_NAMES_H
