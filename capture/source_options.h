#ifndef TANDEO_CAPTURE_SOURCE_OPTIONS_H
#define TANDEO_CAPTURE_SOURCE_OPTIONS_H

// How the shared picture is taken, from the command line.

namespace capture {

struct SourceOptions
{
    // Draw the mouse pointer into the picture.
    bool showPointer = false;

    bool operator==(const SourceOptions &) const = default;
};

} // namespace capture

#endif // TANDEO_CAPTURE_SOURCE_OPTIONS_H
