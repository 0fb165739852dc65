#include "log_defaults.h"

#include "ortp_log.h"

#include <QLoggingCategory>

void installLogDefaults()
{
    // Rules given here rank below the environment's, which the application object reads later.
    // Qt's own "qt.*" categories are quiet at debug level already.
    QLoggingCategory::setFilterRules(QStringLiteral("tandeo.*.debug=false\n"
                                                    "default.debug=false"));
    frames::routeOrtpLog();
}
