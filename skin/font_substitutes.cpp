#include "font_substitutes.h"

#include <QFont>
#include <QFontDatabase>
#include <QGuiApplication>

namespace fonts {

namespace {

// Carlito keeps Calibri's advance widths, which are within a few percent of Corbel's;
// DejaVu Sans Condensed is the narrow face every Debian desktop has.
constexpr const char *NarrowSans[] = { "Carlito", "DejaVu Sans Condensed" };

QStringList installedOf(const QStringList &families)
{
    QStringList installed;
    for (const QString &family : families) {
        if (QFontDatabase::hasFamily(family))
            installed << family;
    }
    return installed;
}

} // namespace

QStringList corbelStandIns()
{
    QStringList list;
    for (const char *family : NarrowSans)
        list << family;
    return list;
}

QStringList scriptStandIns()
{
    // Dancing Script is a connected script like the named face; the narrow sans keeps the
    // title readable where no script is installed.
    return QStringList{ "Dancing Script" } + corbelStandIns();
}

QStringList defaultStandIns()
{
    return corbelStandIns();
}

void installFontSubstitutes()
{
    QFont::insertSubstitutions("Corbel", installedOf(corbelStandIns()));
    QFont::insertSubstitutions("Vladimir Script", installedOf(scriptStandIns()));

    const QStringList defaults = installedOf(defaultStandIns());
    if (defaults.isEmpty())
        return; // nothing better than fontconfig's own choice
    QFont font = QGuiApplication::font();
    font.setFamilies(defaults);
    QGuiApplication::setFont(font);
}

} // namespace fonts
