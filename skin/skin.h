#ifndef TANDEO_APP_SKIN_H
#define TANDEO_APP_SKIN_H

// The program's look: style sheets built from image files in the folder "ui" beside the
// executable. Plain functions of the application directory, so the texts can be tested as
// they are; nothing here loads or checks an image (Qt's style engine reads them when it
// paints, and a missing file just leaves that state without a picture).

#include <QSize>
#include <QString>

#include <vector>

namespace skin {

// appDir + "/ui/" + fileName.
QString imagePath(const QString &appDir, const QString &fileName);

// A button with normal, pressed (down), hovered (over) and disabled (inactive) images.
enum class ButtonTemplate {
    FourStates, // the common one
    FourStatesSpaced, // the same with three blanks before the disabled rule's brace
    ThreeStates, // no disabled image
};

// Fills the template with the image paths: %1 normal, %2 down, %3 over, %4 inactive.
QString buttonStyleSheet(ButtonTemplate kind, const QString &appDir, const QString &normal,
        const QString &down, const QString &over, const QString &inactive = QString());

// The image button of the dialogs: <base>.png, <base>_down.png, <base>_over.png.
QString dialogButtonStyleSheet(const QString &appDir, const QString &base);

// The framed list of the main window and of the application picker.
QString listStyleSheet(const QString &appDir);

// The main window's drop-down (the screen to share): light text on the grey of the progress
// bar, the selected line on the list's blue bar.
QString dropDownStyleSheet();

// Background of the dialogs ("edit_profile_bg.png").
QString dialogStyleSheet(const QString &appDir);

struct WidgetStyle
{
    const char *objectName;
    QString styleSheet;
};

// Every style sheet of the main window, in the order they are applied.
std::vector<WidgetStyle> mainWindowStyleSheets(const QString &appDir);

// Artwork the program reads, with its fixed pixel size.
struct Artwork
{
    QString fileName; // relative to the "ui" folder
    QSize size;
    bool inResource; // compiled into the resource file rather than read from the folder
};
const std::vector<Artwork> &artwork();

// Every picture but the program's icons also comes drawn at twice its size, beside it as
// "<name>@2x.png": Qt's image loading (style sheet urls, QIcon) takes that one on a screen scaled
// by two. The icons need none: they come at every size already.
inline constexpr int HiDpiScale = 2;
bool hasHiDpiVersion(const Artwork &art);
QString hiDpiFileName(const QString &fileName); // "a.png" -> "a@2x.png"

// The program's icon at the sizes an icon theme and a window manager take, rendered as
// tandeo_desktop_<size>x<size>.png, and the same mark as SVG in the folder beside them.
inline constexpr int IconSizes[] = { 16, 32, 48, 64, 128, 256 };
inline constexpr char ScalableIcon[] = "tandeo-desktop.svg";
QString iconFileName(int size);

} // namespace skin

#endif // TANDEO_APP_SKIN_H
