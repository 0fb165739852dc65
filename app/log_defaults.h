#ifndef TANDEO_APP_LOG_DEFAULTS_H
#define TANDEO_APP_LOG_DEFAULTS_H

// What the program writes when nobody asked: started from the applications menu its standard
// error goes to the user's journal, so only information, warnings and errors. The debug lines of
// every category of the program ("tandeo.*") and uncategorised ones stay off until
// QT_LOGGING_RULES (or a QT_LOGGING_CONF file) switches them on: those override these defaults.
// oRTP's own log joins the program's categories (frames/ortp_log.h).
//
// Call once at start, before the application object exists.
void installLogDefaults();

#endif // TANDEO_APP_LOG_DEFAULTS_H
