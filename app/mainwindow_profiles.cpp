// Profile store operations of the main window.

#include "mainwindow.h"

void MainWindow::loadProfileList() { }
void MainWindow::deleteProfile(const QString &) { }
void MainWindow::insertProfile(const QString &, const QString &, const QString &) { }
void MainWindow::updateProfile(const QString &, const QString &, const QString &, const QString &) { }
void MainWindow::editProfile(const QString &) { }
void MainWindow::on_BtnAdd_clicked() { }
void MainWindow::on_BtnDel_clicked() { }
void MainWindow::on_BtnEdit_clicked() { }
void MainWindow::showDatabaseError(const QString &) { }
