#ifndef TANDEO_APP_FONT_SUBSTITUTES_H
#define TANDEO_APP_FONT_SUBSTITUTES_H

// The fonts the windows ask for, mapped to free faces that this system's set-up installs.
//
// The forms were laid out for Windows faces: the status texts and the share choices name
// "Corbel", the share title "Vladimir Script", and every other text takes the application's
// default face at fixed label widths. On Linux fontconfig would answer all of them with its
// default sans, which is wider, so labels such as "Access Code:" lose their last letters.
// Both the program and the tests that open the windows call installFontSubstitutes() once,
// right after the application object exists and before any window is built.

#include <QStringList>

namespace fonts {

// The faces tried, in order, in place of each missing family. The first one installed wins;
// the last entry of each list ships with every Debian desktop, so some face always answers.
QStringList corbelStandIns(); // narrow humanist sans, about Corbel's width
QStringList scriptStandIns(); // a connected script for "Vladimir Script"
QStringList defaultStandIns(); // the default face of every window

// Registers the substitutions for "Corbel" and "Vladimir Script" and makes the first installed
// default stand-in the application font, keeping the platform's point size. GUI thread only;
// needs a QGuiApplication.
void installFontSubstitutes();

} // namespace fonts

#endif // TANDEO_APP_FONT_SUBSTITUTES_H
