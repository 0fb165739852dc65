#include "test_support.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QDialog>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include <gtest/gtest.h>

namespace testsupport {

bool waitUntil(const std::function<bool()> &pred, std::chrono::milliseconds timeout)
{
    QDeadlineTimer deadline(timeout);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

void saveScreen(QWidget *window, const QString &name)
{
    const QString dir = qEnvironmentVariable("TANDEO_SCREENS_DIR");
    if (dir.isEmpty())
        return;
    QDir().mkpath(dir);
    EXPECT_TRUE(window->grab().save(QDir(dir).filePath(name + ".png")));
}

void processEventsFor(std::chrono::milliseconds duration)
{
    QDeadlineTimer deadline(duration);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
}

BoxAnswerer::BoxAnswerer(std::chrono::milliseconds interval)
{
    m_timer.setInterval(interval);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { poll(); });
    m_timer.start();
}

BoxAnswerer::~BoxAnswerer()
{
    m_timer.stop();
}

QStringList BoxAnswerer::texts() const
{
    QStringList list;
    for (const SeenBox &box : m_boxes)
        list << box.text;
    return list;
}

bool BoxAnswerer::waitForText(const QString &text, std::chrono::milliseconds timeout)
{
    return waitUntil([&] { return texts().contains(text); }, timeout);
}

void BoxAnswerer::poll()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        auto *dialog = qobject_cast<QDialog *>(widget);
        if (!dialog || !dialog->isVisible())
            continue;
        if (auto *box = qobject_cast<QMessageBox *>(dialog)) {
            m_boxes.append({ box->windowTitle(), box->text(), box->isModal() });
            if (onBox)
                onBox(m_boxes.last());
            QAbstractButton *button = box->defaultButton();
            if (!button && !box->buttons().isEmpty())
                button = box->buttons().first();
            if (button)
                button->click();
            else
                box->reject();
            continue;
        }
        if (dialogHandler && dialogHandler(dialog))
            continue;
        m_boxes.append({ dialog->windowTitle(), QString(), dialog->isModal() });
        dialog->reject();
    }
}

TempHome::TempHome() : m_oldHome(qgetenv("HOME"))
{
    qputenv("HOME", m_dir.path().toLocal8Bit());
}

TempHome::~TempHome()
{
    qputenv("HOME", m_oldHome);
}

} // namespace testsupport
