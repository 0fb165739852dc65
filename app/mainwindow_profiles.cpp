// Profile store operations of the main window: thin steps over the store that put its lists
// into the two parallel views and show what went wrong.

#include "dialog.h"
#include "mainwindow.h"
#include "profile_store.h"
#include "skin.h"
#include "ui_mainwindow.h"

#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QMessageBox>

#include <memory>

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
std::unique_ptr<Dialog> makeEditor()
{
    auto dialog = std::make_unique<Dialog>(nullptr);
    dialog->setWindowTitle("    ");
    dialog->setStyleSheet(skin::dialogStyleSheet(QCoreApplication::applicationDirPath()));
    return dialog;
}

// Shows the lists an operation read, or the "Database Error" box when the file could not be
// opened (the lists then keep what they showed). Returns false in that case.
bool showStoreResult(MainWindow *window, Ui::MainWindow *ui, profiles::StoreResult result)
{
    if (!result.opened) {
        window->showDatabaseError(result.openError);
        return false;
    }
    replaceModel(ui->listViewProfile, std::move(result.lists.titles), window);
    replaceModel(ui->listViewForID, std::move(result.lists.ids), window);
    return true;
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
    profiles::StoreResult result = profiles::loadProfileList();
    const QString error = result.statementError;
    if (showStoreResult(this, ui, std::move(result)) && !error.isEmpty())
        showDatabaseError(error);
}

void MainWindow::deleteProfile(const QString &id)
{
    // A refused delete leaves the profile in the refreshed list, which is what the user sees.
    showStoreResult(this, ui, profiles::deleteProfile(id));
}

void MainWindow::insertProfile(const QString &title, const QString &ip, const QString &pw)
{
    profiles::StoreResult result = profiles::insertProfile({ QString(), title, ip, pw });
    const QString error = result.statementError;
    if (showStoreResult(this, ui, std::move(result)) && !error.isEmpty())
        showDatabaseError(error);
}

void MainWindow::updateProfile(
        const QString &id, const QString &title, const QString &ip, const QString &pw)
{
    profiles::StoreResult result = profiles::updateProfile({ id, title, ip, pw });
    const QString error = result.statementError;
    if (showStoreResult(this, ui, std::move(result)) && !error.isEmpty())
        showDatabaseError(error);
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
    dialog->show();
    if (dialog->exec() == QDialog::Accepted)
        updateProfile(id, dialog->getTitle(), dialog->getIP(), dialog->getPW());
}

void MainWindow::on_BtnAdd_clicked()
{
    std::unique_ptr<Dialog> dialog = makeEditor();
    dialog->show();
    if (dialog->exec() == QDialog::Accepted)
        insertProfile(dialog->getTitle(), dialog->getIP(), dialog->getPW());
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
    QMessageBox::warning(
            nullptr, tr("Database Error"), driverText, QMessageBox::Ok, QMessageBox::NoButton);
}
