#ifndef TANDEO_SKIN_FOCUS_RING_H
#define TANDEO_SKIN_FOCUS_RING_H

// The keyboard focus made visible. The forms' buttons are pictures, and the style draws no focus
// frame over a picture, so nothing showed where Tab had gone. A ring is drawn around whichever
// control holds the focus, in every window of the program (main window, editor, message boxes):
// a dark band inside a white one, so that one of the two stands out on the light forms and on
// the dark foot alike. Controls with a round face get a round ring.

class QWidget;

namespace skin {

// The property that asks for a round ring (set it true on a control with a round face).
inline constexpr char RoundFaceProperty[] = "roundFace";

// Starts following the application's focus. Call after the application object exists; later
// calls do nothing. GUI thread only.
void followFocusWithRing();

// The ring's overlay in `window` (null before the focus first entered that window). Tests
// read its target; the overlay is kept out of the accessibility tree.
QWidget *focusRingOf(QWidget *window);

} // namespace skin

#endif // TANDEO_SKIN_FOCUS_RING_H
