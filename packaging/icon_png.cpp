// Writes a picture of the artwork folder as PNG, the one format icon themes take: the window
// icons are rendered as ICO for the windows, the menus want the same pictures as PNG.
//
//   tandeo-icon-png <input picture> <output.png>

#include <QCoreApplication>
#include <QImage>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: tandeo-icon-png <input picture> <output.png>\n");
        return 2;
    }
    const QImage image(QString::fromLocal8Bit(argv[1]));
    if (image.isNull()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 1;
    }
    if (!image.convertToFormat(QImage::Format_ARGB32)
                    .save(QString::fromLocal8Bit(argv[2]), "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
