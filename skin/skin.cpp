#include "skin.h"

namespace skin {

namespace {

// The backslashes are characters of the style sheet text, not C++ escapes.
constexpr char FourStatesTemplate[] =
        "QPushButton {border-image:url(%1); }\\QPushButton:hover:pressed "
        "{border-image:url(%2);font-size:24px;}\\ "
        "QPushButton:hover:!pressed "
        "{border-image:url(%3);font-size:24px;}\\QPushButton:disabled "
        "{border-image:url(%4);font-size:24px;}";
constexpr char FourStatesSpacedTemplate[] =
        "QPushButton {border-image:url(%1); }\\QPushButton:hover:pressed "
        "{border-image:url(%2);font-size:24px;}\\ "
        "QPushButton:hover:!pressed "
        "{border-image:url(%3);font-size:24px;}\\QPushButton:"
        "disabled   {border-image:url(%4);font-size:24px;}";
constexpr char ThreeStatesTemplate[] =
        "QPushButton {border-image:url(%1); }\\QPushButton:hover:pressed "
        "{border-image:url(%2);font-size:24px;}\\ "
        "QPushButton:hover:!pressed "
        "{border-image:url(%3);font-size:24px;}";

QString fourStateButton(ButtonTemplate kind, const QString &appDir, const QString &base)
{
    return buttonStyleSheet(kind, appDir, base + ".png", base + "_down.png", base + "_over.png",
            base + "_inactive.png");
}

} // namespace

QString imagePath(const QString &appDir, const QString &fileName)
{
    return appDir + "/ui/" + fileName;
}

QString buttonStyleSheet(ButtonTemplate kind, const QString &appDir, const QString &normal,
        const QString &down, const QString &over, const QString &inactive)
{
    switch (kind) {
    case ButtonTemplate::FourStates:
        return QString(FourStatesTemplate)
                .arg(imagePath(appDir, normal))
                .arg(imagePath(appDir, down))
                .arg(imagePath(appDir, over))
                .arg(imagePath(appDir, inactive));
    case ButtonTemplate::FourStatesSpaced:
        return QString(FourStatesSpacedTemplate)
                .arg(imagePath(appDir, normal))
                .arg(imagePath(appDir, down))
                .arg(imagePath(appDir, over))
                .arg(imagePath(appDir, inactive));
    case ButtonTemplate::ThreeStates:
        break;
    }
    return QString(ThreeStatesTemplate)
            .arg(imagePath(appDir, normal))
            .arg(imagePath(appDir, down))
            .arg(imagePath(appDir, over));
}

QString dialogButtonStyleSheet(const QString &appDir, const QString &base)
{
    return buttonStyleSheet(ButtonTemplate::ThreeStates, appDir, base + ".png", base + "_down.png",
            base + "_over.png");
}

// The selected entry sits on a blue bar: it stands out from the dark list by more than 3:1 and
// keeps its white text above 4.5:1.
QString listStyleSheet(const QString &appDir)
{
    return QString("QListView{border-image: url(%1) 3 10 3 10;}\\QListView::item{ color:#D0D0D0; "
                   "font: 1pt; background-color: transparent; border: 0px;} "
                   "\\QListView::item:selected{color: #FFFFFF ;background-color: "
                   "#286CA8;border: 0px;}")
            .arg(imagePath(appDir, "profile_bg.png"));
}

QString dropDownStyleSheet()
{
    return "QComboBox{color:#F2F2F2; background-color:#474747; border:1px solid grey; "
           "border-radius:4px; padding:1px 4px 1px 6px;} QComboBox:disabled{color:#A0A0A0;} "
           "QComboBox QAbstractItemView{color:#D0D0D0; background-color:#474747; "
           "selection-color:#FFFFFF; selection-background-color:#286CA8; border:1px solid grey;}";
}

QString dialogStyleSheet(const QString &appDir)
{
    return QString("QDialog {border-image:  url(%1)  5;} ")
            .arg(imagePath(appDir, "edit_profile_bg.png"));
}

std::vector<WidgetStyle> mainWindowStyleSheets(const QString &appDir)
{
    using T = ButtonTemplate;
    return {
        { "centralWidget",
                QString("#centralWidget{background-image: url(%1) 3 10 3 10;} ")
                        .arg(imagePath(appDir, "main_bg.png")) },
        { "listViewProfile", listStyleSheet(appDir) },
        { "BtnLogin", fourStateButton(T::FourStates, appDir, "btn_login") },
        { "BtnAdd", fourStateButton(T::FourStates, appDir, "btn_add") },
        { "BtnDel", fourStateButton(T::FourStates, appDir, "btn_delete") },
        { "BtnEdit", fourStateButton(T::FourStates, appDir, "btn_edit") },
        { "BtnSelectApp", fourStateButton(T::FourStates, appDir, "btn_select_program") },
        { "BtnStop", fourStateButton(T::FourStatesSpaced, appDir, "btn_stop") },
        { "BtnShare", fourStateButton(T::FourStatesSpaced, appDir, "btn_share") },
        { "BtnLogout",
                buttonStyleSheet(T::ThreeStates, appDir, "btn_logout.png", "btn_logout_down.png",
                        "btn_logout_over.png") },
        { "progressBar",
                "QProgressBar {border: 1px solid grey; border-radius: 8px; padding: 1px;  "
                "background-color: #474747}" },
    };
}

QString iconFileName(int size)
{
    return QString("tandeo_desktop_%1x%1.png").arg(size);
}

const std::vector<Artwork> &artwork()
{
    static const std::vector<Artwork> files = [] {
        std::vector<Artwork> list = {
            { "main_bg.png", { 349, 429 }, false },
            { "profile_bg.png", { 253, 139 }, false },
            { "edit_profile_bg.png", { 349, 290 }, false },
            { "tandeo_ico_16x16.ico", { 16, 16 }, false },
            { "tandeo_ico_8x8.ico", { 8, 8 }, true },
            { "t_connection.png", { 276, 16 }, true },
            { "t_share.png", { 276, 16 }, true },
            { "t_select_program.png", { 277, 20 }, true },
            { "t_connection_profile.png", { 277, 20 }, true },
        };
        // The window icon takes every size from the resources.
        for (int size : IconSizes)
            list.push_back({ iconFileName(size), { size, size }, true });
        struct Button
        {
            const char *base;
            QSize size;
            bool hasInactive;
        };
        const Button buttons[] = {
            { "btn_login", { 68, 83 }, true },
            { "btn_logout", { 68, 83 }, false },
            { "btn_add", { 44, 31 }, true },
            { "btn_delete", { 44, 31 }, true },
            { "btn_edit", { 86, 31 }, true },
            { "btn_select_program", { 30, 26 }, true },
            { "btn_share", { 86, 31 }, true },
            { "btn_stop", { 86, 31 }, true },
            { "btn_ok", { 86, 31 }, false },
            { "btn_cancel", { 86, 31 }, false },
        };
        for (const Button &button : buttons) {
            const QString base = button.base;
            list.push_back({ base + ".png", button.size, false });
            list.push_back({ base + "_over.png", button.size, false });
            list.push_back({ base + "_down.png", button.size, false });
            if (button.hasInactive)
                list.push_back({ base + "_inactive.png", button.size, false });
        }
        return list;
    }();
    return files;
}

bool hasHiDpiVersion(const Artwork &art)
{
    return art.fileName.endsWith(".png") && !art.fileName.startsWith("tandeo_desktop_");
}

QString hiDpiFileName(const QString &fileName)
{
    const qsizetype dot = fileName.lastIndexOf('.');
    return fileName.left(dot) + QString("@%1x").arg(HiDpiScale) + fileName.mid(dot);
}

} // namespace skin
