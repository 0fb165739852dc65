#ifndef TANDEO_TESTS_PROFILE_WINDOW_H
#define TANDEO_TESTS_PROFILE_WINDOW_H

// The main window as a user first meets it: a fresh home, one stored profile, the window shown.

#include "mainwindow.h"
#include "mainwindow_probe.h"
#include "test_support.h"

namespace testsupport {

struct ProfileWindow
{
    ProfileWindow()
    {
        window.insertProfile("Meeting room", "127.0.0.1", "");
        window.show();
    }

    TempHome home; // before the window, which opens its profile store in it
    MainWindow window;
    MainWindowProbe probe{ window };
};

} // namespace testsupport

#endif // TANDEO_TESTS_PROFILE_WINDOW_H
