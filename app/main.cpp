#include "font_substitutes.h"
#include "mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    fonts::installFontSubstitutes();
    MainWindow window;
    window.show();
    return app.exec();
}
