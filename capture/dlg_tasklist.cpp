#include "dlg_tasklist.h"

#include "light_palette.h"
#include "sharp_pictures.h"
#include "skin.h"
#include "ui_dlg_tasklist.h"
#include "window_system.h"

#include <QCoreApplication>
#include <QStringListModel>

QStringList windowTitleList;

namespace {

// Class names of windows that are never offered even when they pass every other test.
constexpr char HiddenClassA[] = "MS-SDIa";
constexpr char HiddenClassB[] = "MS-SDIb";

} // namespace

bool enumWindowsProc(std::uint32_t window, long parameter)
{
    const x11::WindowSystem &windows = *reinterpret_cast<const x11::WindowSystem *>(parameter);
    // The tests run in this order and the first one that fails skips the window; the second
    // visibility test is kept where it always was.
    if (!windows.isVisible(window))
        return true;
    if (windows.owner(window) != 0)
        return true;
    if (!windows.isVisible(window))
        return true;
    const QString title = windows.title(window);
    if (title.isEmpty())
        return true;
    const std::uint32_t style = windows.extendedStyle(window);
    if (style == x11::exstyle::ToolWindow) // a tool window alone; with other bits it stays
        return true;
    if (style == x11::exstyle::AppWindow) // an application window alone; likewise
        return true;
    const QString className = windows.className(window);
    if (className == QLatin1String(HiddenClassA))
        return true;
    if (className == QLatin1String(HiddenClassB))
        return true;
    windowTitleList.append(title);
    return true;
}

dlgTasklist::dlgTasklist(QWidget *parent) : QDialog(parent), ui(std::make_unique<Ui::dlgTasklist>())
{
    ui->setupUi(this);
    skin::keepLightPalette(this); // before the style sheets, which start from it

    const QString appDir = QCoreApplication::applicationDirPath();
    ui->QTasklist->setStyleSheet(skin::listStyleSheet(appDir));
    ui->BtnOk->setStyleSheet(skin::dialogButtonStyleSheet(appDir, "btn_ok"));
    ui->BtnCancel->setStyleSheet(skin::dialogButtonStyleSheet(appDir, "btn_cancel"));
    skin::showSharpPicture(ui->label, ":/new/prefix1/ui/t_select_program.png");

    connect(ui->BtnOk, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->BtnCancel, &QPushButton::clicked, this, &QDialog::reject);

    // The picker reads the windows over a connection of its own, for as long as it is open.
    const x11::WindowSystem windows;
    windowTitleList.clear();
    for (x11::WindowId window : windows.topLevelWindows()) {
        if (!enumWindowsProc(window, reinterpret_cast<long>(&windows)))
            break;
    }

    ui->QTasklist->setModel(new QStringListModel(windowTitleList, ui->QTasklist));
    ui->QTasklist->show();
    ui->QTasklist->setEditTriggers(QAbstractItemView::NoEditTriggers);
}

dlgTasklist::~dlgTasklist() = default;

QString dlgTasklist::selectedTitle() const
{
    const QModelIndexList selected = ui->QTasklist->selectionModel()->selectedIndexes();
    if (selected.isEmpty())
        return QString();
    return selected.first().data(Qt::DisplayRole).toString();
}
