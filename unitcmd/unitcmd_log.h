#ifndef TANDEO_UNITCMD_UNITCMD_LOG_H
#define TANDEO_UNITCMD_UNITCMD_LOG_H

// Debug output of the unit command session (requests sent, replies read, firmware numbers).
// Off in the program unless switched on: QT_LOGGING_RULES="tandeo.unitcmd.debug=true".

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcUnitCmd)

#endif // TANDEO_UNITCMD_UNITCMD_LOG_H
