#include "capture_log.h"

Q_LOGGING_CATEGORY(lcCapture, "tandeo.capture")
