// Frames: the capture of the shared surface and the slots that answer the unit's pulls.

#include "mainwindow.h"

int MainWindow::captureAndSendFrame() { return 1; }
void MainWindow::sendJpegToUnit(const QString &, const QString &, int, int) { }
void MainWindow::SendFirtSharedImg() { }
void MainWindow::SendSharedImg() { }
