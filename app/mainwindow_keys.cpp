// The window for a keyboard, a screen reader and a mouse: Enter presses the focused button,
// Ctrl+Q closes, the profile list selects the row the keyboard reaches, the focus shows as a
// ring, the hidden id list stays out of the accessibility tree, and a double click on Login or
// Logout counts once. Names and the Tab order are the form's.

#include "focus_ring.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QFocusEvent>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QShortcut>

namespace {

// A list reached by Tab shows a current row that looks selected but is not, so Login then
// asked for a selection: the row becomes the selection when the list has none.
class SelectOnKeyboardFocus : public QObject
{
public:
    explicit SelectOnKeyboardFocus(QListView *list) : QObject(list), m_list(list) { }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_list && event->type() == QEvent::FocusIn)
            selectCurrentRow(static_cast<QFocusEvent *>(event)->reason());
        return false;
    }

private:
    void selectCurrentRow(Qt::FocusReason reason)
    {
        if (reason == Qt::MouseFocusReason || reason == Qt::PopupFocusReason)
            return;
        QItemSelectionModel *selection = m_list->selectionModel();
        const QAbstractItemModel *model = m_list->model();
        if (!selection || !model || model->rowCount() == 0 || selection->hasSelection())
            return;
        QModelIndex row = m_list->currentIndex();
        if (!row.isValid())
            row = model->index(0, 0);
        selection->setCurrentIndex(row, QItemSelectionModel::ClearAndSelect);
    }

    QListView *m_list;
};

// Logout sits where Login is, and the page changes as soon as the unit answers: the second
// click of a double click on Login landed on Logout and ended the session just begun (and on
// Logout, logged in again). The second press of a double click is dropped there.
class SingleClickOnly : public QObject
{
public:
    using QObject::QObject;

    bool eventFilter(QObject *, QEvent *event) override
    {
        return event->type() == QEvent::MouseButtonDblClick;
    }
};

} // namespace

void MainWindow::setUpKeyboard()
{
    skin::followFocusWithRing();
    ui->BtnLogin->setProperty(skin::RoundFaceProperty, true);
    ui->BtnLogout->setProperty(skin::RoundFaceProperty, true);

    // Outside a dialog Qt's buttons take Space only.
    for (QPushButton *button : ui->centralWidget->findChildren<QPushButton *>())
        button->setAutoDefault(true);

    // Closing by key takes the same way as the window's close button, with its refusal.
    auto *quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), this);
    connect(quit, &QShortcut::activated, this, &QWidget::close);

    ui->listViewProfile->installEventFilter(new SelectOnKeyboardFocus(ui->listViewProfile));
    auto *singleClick = new SingleClickOnly(this);
    ui->BtnLogin->installEventFilter(singleClick);
    ui->BtnLogout->installEventFilter(singleClick);

    // The id column is read, never shown. As a window of its own that is never shown it is no
    // child in the main window's accessibility tree, where a screen reader listed it.
    ui->listViewForID->setWindowFlag(Qt::Window, true);
}
