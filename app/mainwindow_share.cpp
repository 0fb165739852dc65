// The share flow: Share and Stop, the control channel callbacks and the polled flags.

#include "mainwindow.h"

void MainWindow::establishConnect() { }
void MainWindow::on_BtnShare_clicked() { }
void MainWindow::on_BtnStop_clicked() { }
void MainWindow::triggerBtnStop() { }
void MainWindow::enableBtnStop() { }
