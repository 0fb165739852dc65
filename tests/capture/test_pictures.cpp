#include "test_pictures.h"

#include <QPainter>
#include <QRadialGradient>

#include <cmath>
#include <random>

namespace testpictures {

QImage photoLike(QSize size, quint32 seed, int grain)
{
    QImage image(size, QImage::Format_RGB32);
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double fx = 2.0 + 3.0 * unit(random);
    const double fy = 1.5 + 2.0 * unit(random);
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        const double v = double(y) / size.height();
        for (int x = 0; x < size.width(); ++x) {
            const double u = double(x) / size.width();
            const double r = 128 + 100 * std::sin(fx * u * 3.1416 + 1.3 * v);
            const double g = 120 + 90 * std::cos(fy * v * 3.1416 - 0.7 * u);
            const double b = 110 + 80 * std::sin((u + v) * 4.0);
            line[x] = qRgb(int(r), int(g), int(b));
        }
    }
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    for (int i = 0; i < 40; ++i) {
        const QPointF centre(unit(random) * size.width(), unit(random) * size.height());
        const double radius = 20 + unit(random) * size.height() / 6.0;
        QColor colour =
                QColor::fromHsvF(unit(random), 0.3 + 0.6 * unit(random), 0.3 + 0.7 * unit(random));
        QRadialGradient gradient(centre, radius);
        gradient.setColorAt(0, colour);
        gradient.setColorAt(0.7, colour.darker(130));
        colour.setAlpha(0);
        gradient.setColorAt(1, colour);
        painter.setBrush(gradient);
        painter.drawEllipse(centre, radius, radius);
    }
    painter.end();
    // Grain, as a camera gives it.
    std::uniform_int_distribution<int> noise(-grain, grain);
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const int n = noise(random);
            const QRgb p = line[x];
            line[x] = qRgb(qBound(0, qRed(p) + n, 255), qBound(0, qGreen(p) + n, 255),
                    qBound(0, qBlue(p) + n, 255));
        }
    }
    return image;
}

QImage withTextPanels(const QImage &picture)
{
    QImage image = picture.convertToFormat(QImage::Format_RGB32);
    QPainter painter(&image);
    const int w = image.width();
    const int h = image.height();
    const QList<QRect> panels = { QRect(w / 20, h / 12, w * 2 / 5, h / 2),
        QRect(w / 2, h / 3, w * 9 / 20, h * 7 / 12) };
    QFont font("DejaVu Sans");
    font.setPixelSize(qMax(8, h / 60));
    painter.setFont(font);
    int panel = 0;
    for (const QRect &rect : panels) {
        painter.fillRect(rect, Qt::white);
        painter.fillRect(QRect(rect.topLeft(), QSize(rect.width(), font.pixelSize() * 2)),
                QColor(60, 90, 160));
        painter.setPen(QColor(20, 20, 20));
        const int lineHeight = font.pixelSize() * 3 / 2;
        int line = 0;
        for (int y = rect.top() + font.pixelSize() * 3; y < rect.bottom() - lineHeight;
                y += lineHeight, ++line) {
            painter.drawText(rect.left() + 8, y,
                    QString("Panel %1 line %2: The quick brown fox jumps over the lazy dog "
                            "0123456789")
                            .arg(panel)
                            .arg(line));
        }
        ++panel;
    }
    return image;
}

QColor blockColour(int column, int row)
{
    // Hues far apart and two brightness levels, so no two neighbouring cells look alike.
    const int index = row * 8 + column;
    const int hue = (index * 47) % 360;
    const int value = (index % 2) ? 230 : 140;
    return QColor::fromHsv(hue, 200, value);
}

QImage colourGrid(QSize size, int columns, int rows)
{
    QImage image(size, QImage::Format_RGB32);
    QPainter painter(&image);
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            const QRect cell(column * size.width() / columns, row * size.height() / rows,
                    (column + 1) * size.width() / columns - column * size.width() / columns,
                    (row + 1) * size.height() / rows - row * size.height() / rows);
            painter.fillRect(cell, blockColour(column, row));
        }
    }
    return image;
}

} // namespace testpictures
