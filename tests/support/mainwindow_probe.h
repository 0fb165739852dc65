#ifndef TANDEO_TESTS_MAINWINDOW_PROBE_H
#define TANDEO_TESTS_MAINWINDOW_PROBE_H

// Read access to the main window's private fields for the tests; widgets are found by their
// object names.

#include "mainwindow.h"

#include <QTimer>

class MainWindowProbe
{
public:
    explicit MainWindowProbe(MainWindow &window) : m_window(window) { }

    template <typename T> T *widget(const char *objectName) const
    {
        return m_window.findChild<T *>(objectName);
    }

    QTimer *firstImgTimer() const { return m_window.firstImgTimer; }
    QTimer *sharedImgTimer() const { return m_window.sharedImgTimer; }
    QTimer *triggerStopTimer() const { return m_window.triggerStopTimer; }
    QTimer *progressTimer() const { return m_window.progressTimer; }
    QTimer *loginTimeoutTimer() const { return m_window.loginTimeoutTimer; }
    QTimer *enableStopTimer() const { return m_window.enableStopTimer; }
    QTimer *enableShareTimer() const { return m_window.enableShareTimer; }
    QPixmap *sharedPixmap() const { return m_window.sharedPixmap; }
    dlgTasklist *taskDialog() const { return m_window.taskDialog; }
    void setTaskDialog(dlgTasklist *dialog) { m_window.taskDialog = dialog; }
    bool ctrlConnected() const { return m_window.b_ctrlConnected; }
    bool fwCheckPending() const { return m_window.b_fwCheckPending; }
    QNetworkAccessManager *qmtManager() const { return m_window.qmtManager; }
    QNetworkAccessManager *zmtManager() const { return m_window.zmtManager; }
    QNetworkAccessManager *qmtFwManager() const { return m_window.qmtFwManager; }
    QNetworkAccessManager *zmtFwManager() const { return m_window.zmtFwManager; }

private:
    MainWindow &m_window;
};

#endif // TANDEO_TESTS_MAINWINDOW_PROBE_H
