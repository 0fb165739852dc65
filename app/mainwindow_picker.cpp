// The application picker's slot and the look-up of the chosen window at share start.

#include "mainwindow.h"

void MainWindow::on_BtnSelectApp_clicked() { }
void MainWindow::grabSelectedWindow() { }
int MainWindow::captureSelectedWindowFrame() { return 0; }
