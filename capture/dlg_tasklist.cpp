#include "dlg_tasklist.h"

dlgTasklist::dlgTasklist(QWidget *parent) : QDialog(parent) { }

dlgTasklist::~dlgTasklist() = default;

QString dlgTasklist::selectedTitle() const
{
    return QString();
}
