#include "unitcmd_log.h"

Q_LOGGING_CATEGORY(lcUnitCmd, "tandeo.unitcmd")
