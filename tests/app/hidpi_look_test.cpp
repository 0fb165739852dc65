// The windows on a screen scaled by two: the artwork shows the pictures drawn at that scale, not
// the 1x ones enlarged. Each piece grabbed from the window is compared with its "@2x" picture
// and with its 1x picture enlarged; it has to match the first and be well apart from the second.
// This program scales its screen itself (QT_SCALE_FACTOR=2).
//
// With TANDEO_SCREENS_DIR set, the window is also saved there as window_scale2.png:
//   TANDEO_SCREENS_DIR=/tmp QT_QPA_PLATFORM=offscreen build/bin/app_hidpi_tests

#include "font_substitutes.h"
#include "mainwindow.h"
#include "skin.h"
#include "test_support.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPainter>
#include <QPushButton>

#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

constexpr int Scale = skin::HiDpiScale;

// Mean difference per colour channel.
double meanDifference(const QImage &shown, const QImage &picture)
{
    const QImage a = shown.convertToFormat(QImage::Format_ARGB32);
    const QImage b = picture.convertToFormat(QImage::Format_ARGB32);
    if (a.size() != b.size())
        return 255;
    double sum = 0;
    long count = 0;
    for (int y = 0; y < b.height(); ++y) {
        for (int x = 0; x < b.width(); ++x) {
            const QRgb p = b.pixel(x, y), q = a.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q))
                    + std::abs(qBlue(p) - qBlue(q));
            count += 3;
        }
    }
    return count ? sum / count : 255;
}

// `picture` laid over `ground`, as the window lays it over what is behind the widget.
QImage over(const QImage &ground, const QImage &picture)
{
    QImage result = ground.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    result.setDevicePixelRatio(1);
    QImage top = picture;
    top.setDevicePixelRatio(1);
    QPainter(&result).drawImage(0, 0, top);
    return result;
}

struct Piece
{
    const char *objectName;
    QString fileName; // in the "ui" folder
    QRect area; // in the widget, in window pixels; empty for the whole widget
};

class HiDpiLook : public ::testing::Test
{
protected:
    // Grabs `piece` from the window and measures it against both pictures.
    void check(const Piece &piece)
    {
        auto *widget = window.findChild<QWidget *>(piece.objectName);
        ASSERT_NE(widget, nullptr) << piece.objectName;
        const QRect area = piece.area.isEmpty() ? widget->rect() : piece.area;
        const QImage shown = widget->grab(area).toImage();
        ASSERT_EQ(shown.size(), area.size() * Scale) << "not drawn at scale 2";
        // What shows through the picture's transparent parts: a label draws the form's ground
        // itself, a button shows its parent's.
        QImage ground;
        if (auto *label = qobject_cast<QLabel *>(widget)) {
            const QPixmap picture = label->pixmap();
            label->setPixmap(QPixmap());
            ground = label->grab(area).toImage();
            label->setPixmap(picture);
        } else {
            widget->hide();
            ground = widget->parentWidget()->grab(area.translated(widget->pos())).toImage();
            widget->show();
        }

        const QString folder = QCoreApplication::applicationDirPath() + "/ui/";
        const QImage sharp(folder + skin::hiDpiFileName(piece.fileName));
        const QImage plain(folder + piece.fileName);
        ASSERT_FALSE(sharp.isNull()) << qPrintable(piece.fileName);
        const QRect picked(area.topLeft() * Scale, area.size() * Scale);
        const QImage sharpPart = over(ground, sharp.copy(picked));
        const QImage enlarged = over(ground,
                plain.scaled(plain.size() * Scale, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                        .copy(picked));
        const double toSharp = meanDifference(shown, sharpPart);
        const double toEnlarged = meanDifference(shown, enlarged);
        const double apart = meanDifference(enlarged, sharpPart);
        std::printf("%-16s %-22s shown-@2x %.2f  shown-1x enlarged %.2f  @2x-1x enlarged %.2f\n",
                piece.objectName, qPrintable(piece.fileName), toSharp, toEnlarged, apart);
        EXPECT_LT(toSharp, 1.0) << piece.objectName;
        EXPECT_GT(toEnlarged, 4 * toSharp + 1.0) << piece.objectName;
    }

    TempHome home;
    MainWindow window;
};

TEST_F(HiDpiLook, MainWindowArtworkIsDrawnAtScaleTwo)
{
    window.show();
    QApplication::processEvents();
    ASSERT_EQ(window.devicePixelRatio(), Scale);
    const QString dir = qEnvironmentVariable("TANDEO_SCREENS_DIR");
    if (!dir.isEmpty()) {
        QDir().mkpath(dir);
        EXPECT_TRUE(window.grab().save(QDir(dir).filePath("window_scale2.png")));
    }
    // The banner with the product name (style sheet background-image), a caption button
    // (border-image) and a heading (a label's picture).
    check({ "centralWidget", "main_bg.png", QRect(0, 0, 349, 58) });
    auto *edit = window.findChild<QPushButton *>("BtnEdit");
    ASSERT_NE(edit, nullptr);
    check({ "BtnEdit", edit->isEnabled() ? "btn_edit.png" : "btn_edit_inactive.png", QRect() });
    check({ "labelConnection", "t_connection.png", QRect() });
}

} // namespace

int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS();
    qputenv("QT_SCALE_FACTOR", QByteArray::number(Scale));
    QApplication app(argc, argv);
    fonts::installFontSubstitutes();
    return RUN_ALL_TESTS();
}
