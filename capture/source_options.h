#ifndef TANDEO_CAPTURE_SOURCE_OPTIONS_H
#define TANDEO_CAPTURE_SOURCE_OPTIONS_H

// How the shared picture is taken: from the command line, and the screen the user chose.

#include <QString>

namespace capture {

struct SourceOptions
{
    // Draw the mouse pointer into the picture.
    bool showPointer = false;
    // The X server's monitor (by its RandR name, e.g. "DP-1") whose area alone is shared;
    // empty for the whole desktop. Only the X server's own source takes it.
    QString monitor;

    bool operator==(const SourceOptions &) const = default;
};

} // namespace capture

#endif // TANDEO_CAPTURE_SOURCE_OPTIONS_H
