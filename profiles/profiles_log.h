#ifndef TANDEO_PROFILES_PROFILES_LOG_H
#define TANDEO_PROFILES_PROFILES_LOG_H

// Debug output of the profile store (statements the database refused).
// Off in the program unless switched on: QT_LOGGING_RULES="tandeo.profiles.debug=true".

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcProfiles)

#endif // TANDEO_PROFILES_PROFILES_LOG_H
