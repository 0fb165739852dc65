#ifndef TANDEO_CAPTURE_PICTURE_BOX_H
#define TANDEO_CAPTURE_PICTURE_BOX_H

// The size rules of a shared picture: the box a unit is told about at share start and the
// size a surface gets when it is fitted into that box.

#include <QRect>
#include <QSize>

namespace capture {

// Box for an application window, and for the desktop in every case but the one below.
constexpr QSize StandardBox{ 1024, 768 };
// Box for a desktop wider than WideRatio on a ZMT unit.
constexpr QSize WideBox{ 1280, 720 };
// Strictly greater than this width-to-height ratio counts as wide; 1440 x 960 is not wide.
constexpr float WideRatio = 1.5f;

// The picture box for a desktop of the given size shared with a unit of the given family.
QSize pictureBox(QSize desktop, bool zmtFamily);

// Size of a source fitted into a box keeping its aspect ratio, the smaller side rounded down
// (the same size Qt gives for Qt::KeepAspectRatio). Empty source or box gives an empty size.
QSize fitKeepingAspect(QSize source, QSize box);

// Where a picture of `source` size goes in a frame of `target` size: the whole frame when
// their shapes agree but for rounding; otherwise the source keeps its shape, centred, and the
// frame shows black around it (the desktop grew a monitor, or its resolution changed, while
// the unit still expects the size it was told). Sides and offsets are even, so the area's
// chroma samples are its own. Empty for an empty source or target.
QRect shapeKeepingArea(QSize source, QSize target);

// The size of the desktop picture that is announced to the unit and then sent in every frame.
inline QSize scaledDesktopSize(QSize desktop, bool zmtFamily)
{
    return fitKeepingAspect(desktop, pictureBox(desktop, zmtFamily));
}

} // namespace capture

#endif // TANDEO_CAPTURE_PICTURE_BOX_H
