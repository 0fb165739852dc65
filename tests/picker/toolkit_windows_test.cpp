// Windows made by a real toolkit (Qt on its X11 platform), not by hand: the picker must offer
// an ordinary main window and leave out its tool windows and owned dialogs.

#include "dlg_tasklist.h"
#include "test_support.h"
#include "window_system.h"

#include <QDialog>
#include <QGuiApplication>
#include <QWidget>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

TEST(ToolkitWindows, MainWindowIsOfferedToolWindowAndDialogAreNot)
{
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs Qt on an X display (run under Xvfb)";
    const QString prefix = QString("h7 toolkit %1").arg(QCoreApplication::applicationPid());

    QWidget main;
    main.setWindowTitle(prefix + " main");
    main.resize(200, 100);
    main.show();
    QWidget tool(nullptr, Qt::Tool); // unowned: left out as a tool window
    tool.setWindowTitle(prefix + " tool");
    tool.show();
    QDialog dialog(&main);
    dialog.setWindowTitle(prefix + " dialog");
    dialog.show();

    const x11::WindowSystem windows;
    const auto visible = [&](const QWidget &widget) {
        return windows.isVisible(x11::WindowId(widget.winId()));
    };
    ASSERT_TRUE(waitUntil([&] { return visible(main) && visible(tool) && visible(dialog); }));
    EXPECT_EQ(windows.title(x11::WindowId(main.winId())), prefix + " main");
    EXPECT_EQ(windows.findWindow(prefix + " main"), x11::WindowId(main.winId()));
    EXPECT_EQ(windows.extendedStyle(x11::WindowId(tool.winId())), x11::exstyle::ToolWindow);
    EXPECT_NE(windows.owner(x11::WindowId(dialog.winId())), 0u);

    dlgTasklist picker;
    QStringList ours;
    for (const QString &title : windowTitleList) {
        if (title.startsWith(prefix))
            ours << title;
    }
    EXPECT_EQ(ours, QStringList{ prefix + " main" });
}

} // namespace
