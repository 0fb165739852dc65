#include "profiles_log.h"

Q_LOGGING_CATEGORY(lcProfiles, "tandeo.profiles")
