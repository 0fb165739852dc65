#ifndef TANDEO_APP_COMMAND_LINE_H
#define TANDEO_APP_COMMAND_LINE_H

// The program's command line, checked before the application object exists: that object
// needs a display and ends the process without one, and a mistyped option must be reported
// either way. Pure: reads argv only.

#include <optional>
#include <string>

namespace commandline {

// The first argument that is neither one of the program's own options (--show-pointer, -h,
// --help, -v, --version) nor a standard Qt option with its value (-platform NAME, -style NAME,
// -display NAME, -reverse, ...; with one dash or two, as Qt takes them); nullopt when there is
// none. A Qt option that wants a value and has none counts as unknown.
std::optional<std::string> firstUnknownArgument(int argc, const char *const argv[]);

} // namespace commandline

#endif // TANDEO_APP_COMMAND_LINE_H
