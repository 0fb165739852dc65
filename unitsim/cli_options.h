#ifndef TANDEO_UNITSIM_CLI_OPTIONS_H
#define TANDEO_UNITSIM_CLI_OPTIONS_H

// The emulator's command line: every behaviour of Options has an option, plus when to exit.

#include "unit_sim.h"

#include <optional>
#include <string>
#include <vector>

namespace unitsim {

struct CommandLine
{
    Options options;
    bool help = false;
    int exitAfterFrames = -1; // exit once this many valid frames arrived; -1 = never
    int runForMs = -1; // exit after this long; -1 = until SIGINT / SIGTERM
    bool quiet = false; // no summary on standard output at exit
    // Set: write a profile database with one profile for this unit to this file, then exit.
    std::string writeProfile;
    std::string profileTitle = "Demo unit";
    std::optional<std::string> error; // set when the arguments cannot be used
};

// Arguments without the program name.
CommandLine parseCommandLine(const std::vector<std::string> &args);
std::string helpText();

} // namespace unitsim

#endif // TANDEO_UNITSIM_CLI_OPTIONS_H
