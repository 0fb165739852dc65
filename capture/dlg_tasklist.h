#ifndef TANDEO_CAPTURE_DLG_TASKLIST_H
#define TANDEO_CAPTURE_DLG_TASKLIST_H

#include <QDialog>
#include <QStringList>

#include <cstdint>
#include <memory>

namespace Ui {
class dlgTasklist;
}

// Titles of the windows the last picker found, front-most first; emptied and refilled each time
// a picker is constructed. GUI thread only.
extern QStringList windowTitleList;

// Called once per top-level window (an X11 window id) with the parameter the enumeration was
// started with; appends the window's title to windowTitleList when it is a visible, unowned,
// titled application window; parameter is the x11::WindowSystem to ask. Always returns true, so the
// enumeration covers every window.
bool enumWindowsProc(std::uint32_t window, long parameter);

// The application picker: lists the titles of the visible top-level application windows. The
// list is read once, when the picker is constructed.
class dlgTasklist : public QDialog
{
    Q_OBJECT

public:
    explicit dlgTasklist(QWidget *parent = nullptr);
    ~dlgTasklist() override;

    // Display text of the selected entry; empty when nothing is selected.
    QString selectedTitle() const;

private:
    std::unique_ptr<Ui::dlgTasklist> ui;
};

#endif // TANDEO_CAPTURE_DLG_TASKLIST_H
