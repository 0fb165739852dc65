#ifndef TANDEO_CAPTURE_FRAME_H
#define TANDEO_CAPTURE_FRAME_H

#include <QByteArray>
#include <QSize>

namespace capture {

// One picture for the unit: the JPEG file and the size of the picture in it. The buffer is
// reused from frame to frame by whoever keeps the Frame.
struct Frame
{
    QByteArray jpeg;
    QSize size;

    bool isEmpty() const { return jpeg.isEmpty(); }
    void clear()
    {
        jpeg.clear();
        size = QSize();
    }
};

} // namespace capture

#endif // TANDEO_CAPTURE_FRAME_H
