#ifndef TANDEO_UNITSIM_PROFILE_WRITER_H
#define TANDEO_UNITSIM_PROFILE_WRITER_H

// A profile database for a demo home: a fresh file with the profile table and one profile
// that points at the emulated unit. Uses Qt's SQLite driver; call it from the main thread.

#include <optional>
#include <string>

namespace unitsim {

// Replaces `path` with a database holding one profile. Returns the error text on failure.
std::optional<std::string> writeProfileDatabase(const std::string &path, const std::string &title,
        const std::string &address, const std::string &accessCode);

} // namespace unitsim

#endif // TANDEO_UNITSIM_PROFILE_WRITER_H
