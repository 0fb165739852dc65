#ifndef TANDEO_UNITSIM_LOG_H
#define TANDEO_UNITSIM_LOG_H

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcUnitsim)

#endif // TANDEO_UNITSIM_LOG_H
