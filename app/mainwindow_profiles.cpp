// Profile store operations of the main window: thin steps over the store that put its lists
// into the two parallel views and show what went wrong.

#include "dialog.h"
#include "mainwindow.h"
#include "profile_store.h"
#include "skin.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QLoggingCategory>
#include <QMessageBox>

#include <memory>

Q_DECLARE_LOGGING_CATEGORY(lcUi)

namespace {

// Gives the view its new model and frees the model and selection model it replaces (both
// belong to the window; nothing else uses them).
void replaceModel(QListView *view, std::unique_ptr<QSqlQueryModel> model, QObject *owner)
{
    QAbstractItemModel *oldModel = view->model();
    QItemSelectionModel *oldSelection = view->selectionModel();
    model->setParent(owner);
    view->setModel(model.release());
    delete oldSelection;
    if (oldModel && oldModel->parent() == owner)
        delete oldModel;
}

// The editor as both flows run it: no parent, four blanks as title, the dialog background.
// Modal from the start: a window already shown when exec() runs does not become modal, and the
// main window went on opening editors on top of it.
std::unique_ptr<Dialog> makeEditor()
{
    auto dialog = std::make_unique<Dialog>(nullptr);
    dialog->setWindowModality(Qt::ApplicationModal);
    dialog->setWindowTitle("    ");
    dialog->setStyleSheet(skin::dialogStyleSheet(QCoreApplication::applicationDirPath()));
    return dialog;
}

// Puts the lists an operation read into the views and shows the first thing that went wrong
// in the "Database Error" box. Lists that could not be read (the file is locked or damaged)
// leave the views as they were: an emptied list would pass for an empty file and stay so.
// A statement the database refused is left out when `reportRefusal` is false. Returns true
// when the operation's statement went through.
bool showStoreResult(MainWindow *window, Ui::MainWindow *ui, profiles::StoreResult result,
        bool reportRefusal = true)
{
    if (result.listsRead()) {
        replaceModel(ui->listViewProfile, std::move(result.lists.titles), window);
        replaceModel(ui->listViewForID, std::move(result.lists.ids), window);
    }
    QString error = result.openError;
    if (error.isEmpty() && reportRefusal)
        error = result.statementError;
    if (error.isEmpty())
        error = result.listError;
    if (!error.isEmpty())
        window->showDatabaseError(error);
    return result.statementOk;
}

// Runs the editor until what it holds is saved: when saving fails the editor comes back with
// everything as typed, so the user can try again once the file is free, or cancel.
template <typename Save> void runEditorUntilSaved(Dialog &dialog, Save save)
{
    do {
        dialog.show();
        if (dialog.exec() != QDialog::Accepted)
            return;
    } while (!save(dialog.getTitle(), dialog.getIP(), dialog.getPW()));
}

// The p_id text of the profile selected in listViewProfile; empty without a selection.
QString selectedProfileId(Ui::MainWindow *ui)
{
    const QItemSelectionModel *selection = ui->listViewProfile->selectionModel();
    const QAbstractItemModel *ids = ui->listViewForID->model();
    if (!selection || !ids)
        return QString();
    const QModelIndexList rows = selection->selectedIndexes();
    if (rows.isEmpty())
        return QString();
    return profiles::profileIdAt(*ids, rows.first().row());
}

} // namespace

void MainWindow::loadProfileList()
{
    showStoreResult(this, ui, profiles::loadProfileList());
}

void MainWindow::deleteProfile(const QString &id)
{
    // A refused delete leaves the profile in the refreshed list, which is what the user sees.
    showStoreResult(this, ui, profiles::deleteProfile(id), false);
}

void MainWindow::insertProfile(const QString &title, const QString &ip, const QString &pw)
{
    showStoreResult(this, ui, profiles::insertProfile({ QString(), title, ip, pw }));
}

void MainWindow::updateProfile(
        const QString &id, const QString &title, const QString &ip, const QString &pw)
{
    showStoreResult(this, ui, profiles::updateProfile({ id, title, ip, pw }));
}

void MainWindow::editProfile(const QString &id)
{
    const profiles::ReadResult read = profiles::readProfile(id);
    if (!read.opened) {
        showDatabaseError(read.openError);
        return;
    }
    if (!read.profile || read.profile->title.isEmpty() || read.profile->ip.isEmpty()) {
        QMessageBox::information(this, "Warning", "This profile does not exist", QMessageBox::Ok);
        loadProfileList();
        return;
    }
    std::unique_ptr<Dialog> dialog = makeEditor();
    dialog->setProfile(read.profile->title, read.profile->ip, read.profile->pw);
    runEditorUntilSaved(*dialog, [&](const QString &title, const QString &ip, const QString &pw) {
        return showStoreResult(this, ui, profiles::updateProfile({ id, title, ip, pw }));
    });
}

void MainWindow::on_BtnAdd_clicked()
{
    std::unique_ptr<Dialog> dialog = makeEditor();
    runEditorUntilSaved(*dialog, [&](const QString &title, const QString &ip, const QString &pw) {
        return showStoreResult(this, ui, profiles::insertProfile({ QString(), title, ip, pw }));
    });
}

void MainWindow::on_BtnDel_clicked()
{
    const QString id = selectedProfileId(ui);
    if (id.isEmpty()) {
        showInfo("Warning", "Please select a profile to delete");
        return;
    }
    deleteProfile(id);
}

void MainWindow::on_BtnEdit_clicked()
{
    const QString id = selectedProfileId(ui);
    if (id.isEmpty()) {
        showInfo("Warning", "Please select a profile to edit");
        return;
    }
    editProfile(id);
}

void MainWindow::showDatabaseError(const QString &driverText)
{
    qCDebug(lcUi).noquote() << "box: Database Error:" << driverText;
    QMessageBox::warning(
            nullptr, tr("Database Error"), driverText, QMessageBox::Ok, QMessageBox::NoButton);
}
