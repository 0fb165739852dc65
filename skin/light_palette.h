#ifndef TANDEO_SKIN_LIGHT_PALETTE_H
#define TANDEO_SKIN_LIGHT_PALETTE_H

// The forms' artwork is light whatever colour scheme the desktop has. A desktop in a dark
// scheme hands the program light text, which vanished into that artwork (the editor's field
// names, the Desktop choice): a skinned form keeps the colours the artwork was drawn with,
// dark text on light ground. Message boxes are windows of their own and keep the desktop's
// colours.

#include <QPalette>

class QWidget;

namespace skin {

// The palette Qt gives a desktop without a colour scheme of its own (Fusion's light one), built
// here: the style's standard palette follows the desktop's scheme.
QPalette lightPalette();

// Gives form, and every control in it, lightPalette(). Each control gets it itself: under a
// style sheet (the dialogs have one) a control takes the application's palette, not its
// parent's. Call once the form's controls are there and before any style sheet is set, since a
// style sheet starts from the palette it finds (a framed list's ground, for one). Later changes
// of the desktop's palette leave them as they are.
void keepLightPalette(QWidget *form);

} // namespace skin

#endif // TANDEO_SKIN_LIGHT_PALETTE_H
