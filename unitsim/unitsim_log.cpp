#include "unitsim_log.h"

Q_LOGGING_CATEGORY(lcUnitsim, "tandeo.unitsim")
