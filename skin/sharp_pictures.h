#ifndef TANDEO_SKIN_SHARP_PICTURES_H
#define TANDEO_SKIN_SHARP_PICTURES_H

// The title pictures the forms put into labels. The form loads a plain pixmap, the 1x file even
// on a screen scaled by two, which the label then enlarges; QIcon takes the "@2x" file beside it
// at the label's pixel ratio. Style sheet pictures need nothing of this: Qt's style sheet picks
// the "@2x" file itself.

#include <QIcon>
#include <QLabel>
#include <QPixmap>
#include <QString>

namespace skin {

// Shows the picture at `path` in `label` at the label's pixel ratio, keeping its size in the
// window. Call after the form is set up.
inline void showSharpPicture(QLabel *label, const QString &path)
{
    const QSize size = label->pixmap().deviceIndependentSize().toSize();
    const QPixmap sharp = QIcon(path).pixmap(size, label->devicePixelRatio());
    if (!sharp.isNull())
        label->setPixmap(sharp);
}

} // namespace skin

#endif // TANDEO_SKIN_SHARP_PICTURES_H
