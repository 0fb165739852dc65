// The unit command session: login, reply handling, keep-alive, firmware check, logout.

#include "mainwindow.h"

void MainWindow::on_BtnLogin_clicked() { }
void MainWindow::finished(QNetworkReply *) { }
void MainWindow::finishedForZMT(QNetworkReply *) { }
void MainWindow::slotTimeout() { }
void MainWindow::slotError(QNetworkReply::NetworkError) { }
void MainWindow::SendKeepAlive() { }
void MainWindow::finishedFWVersion(QNetworkReply *) { }
void MainWindow::finishedFWVersionZMT(QNetworkReply *) { }
void MainWindow::on_BtnLogout_clicked() { }
