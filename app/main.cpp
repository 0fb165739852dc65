#include "font_substitutes.h"
#include "mainwindow.h"
#include "termination_signals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    // Before Qt starts any thread, so the signals reach only the event loop's descriptor.
    TerminationSignals::blockInAllThreads();
    QApplication app(argc, argv);
    fonts::installFontSubstitutes();
    MainWindow window;
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::received, &window,
            [&window](int signalNumber) { window.endOnSignal(signalNumber); });
    window.show();
    return app.exec();
}
