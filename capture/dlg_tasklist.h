#ifndef TANDEO_CAPTURE_DLG_TASKLIST_H
#define TANDEO_CAPTURE_DLG_TASKLIST_H

#include <QDialog>

namespace Ui {
class dlgTasklist;
}

// The application picker: lists the titles of the visible top-level application windows.
class dlgTasklist : public QDialog
{
    Q_OBJECT

public:
    explicit dlgTasklist(QWidget *parent = nullptr);
    ~dlgTasklist() override;

    // Display text of the selected entry; empty when nothing is selected.
    QString selectedTitle() const;
};

#endif // TANDEO_CAPTURE_DLG_TASKLIST_H
