#ifndef TANDEO_TESTS_CAPTURE_TEST_PICTURES_H
#define TANDEO_TESTS_CAPTURE_TEST_PICTURES_H

// Pictures with known content for the capture tests, the share tests and the benchmark.

#include <QColor>
#include <QImage>
#include <QList>
#include <QRect>

namespace testpictures {

// Photo-like: smooth colour fields, soft-edged discs and fine grain (up to `grain` levels
// either way), the same for a given seed.
QImage photoLike(QSize size, quint32 seed = 1, int grain = 12);

// The picture with a few panels of dark text on white painted over it, like text windows.
QImage withTextPanels(const QImage &picture);

// A grid of flat, clearly different colours; blockColour() tells which colour a cell has.
QImage colourGrid(QSize size, int columns = 8, int rows = 4);
QColor blockColour(int column, int row);

} // namespace testpictures

#endif // TANDEO_TESTS_CAPTURE_TEST_PICTURES_H
