// Renders the program's artwork into a folder: backgrounds, button faces in their four states,
// title pictures and icons, each at the pixel size the windows are laid out for. Run by the
// build, so the pictures are made from this source rather than kept as binaries. Every picture
// but the icons comes twice: at its size, and drawn afresh at twice that as "<name>@2x.png" for
// screens scaled by two (Qt loads that one there instead of enlarging the first).
//
// The forms draw their labels and choices in the style's default text colour (black) and the
// status texts in near-white, at fixed places. So the window grounds are light wherever the
// forms put default-coloured text, and dark only in the main window's foot, where the status
// text and the progress bar sit. Captions drawn into the pictures are near-white on deep blue
// or dark slate on the light ground.
//
//   tandeo-artwork <output folder>

#include "skin.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLineF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QtMath>

#include <cstdio>
#include <functional>

namespace {

const QColor Accent(0x2f, 0x9b, 0xd6); // the product's blue, for rules and glows
const QColor AccentDark(0x1b, 0x5f, 0x88);
const QColor Ink(0xf2, 0xf2, 0xf2); // text on dark ground
const QColor TitleInk(0x1f, 0x2b, 0x36); // text on light ground
const QColor BodyTop(0xf4, 0xf6, 0xf8); // light ground behind the forms' default-coloured text
const QColor BodyBottom(0xe3, 0xe8, 0xed);
const QColor Edge(0xb8, 0xc2, 0xcc);
const QColor FootTop(0x2a, 0x2e, 0x34); // dark foot of the main window
const QColor FootBottom(0x16, 0x18, 0x1b);
const QColor ButtonTop(0x26, 0x77, 0xab); // deep enough for white captions
const QColor ButtonBottom(0x17, 0x53, 0x7a);

// The main window's regions, in the central widget's coordinates (the picture is drawn from
// its top-left corner): the name band, the light body with the page controls, and the foot
// from just below the list's buttons with the login button, the progress bar and the status.
constexpr int BandHeight = 58;
constexpr int FootTopY = 316;

enum class State { Normal, Over, Down, Inactive };

State stateOf(const QString &fileName)
{
    if (fileName.contains("_over"))
        return State::Over;
    if (fileName.contains("_down"))
        return State::Down;
    if (fileName.contains("_inactive"))
        return State::Inactive;
    return State::Normal;
}

// The pictures are drawn in the windows' pixels whatever the scale: a painter on this canvas
// multiplies by `scale`, so fonts, pens and gradients come out drawn at the finer grid.
QImage canvas(QSize size, int scale)
{
    QImage image(size * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    return image;
}

QFont uiFont(int pixelSize, bool bold = true)
{
    QFont font("DejaVu Sans");
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

void fillBody(QPainter &p, const QRect &rect)
{
    QLinearGradient body(0, rect.top(), 0, rect.bottom());
    body.setColorAt(0, BodyTop);
    body.setColorAt(1, BodyBottom);
    p.fillRect(rect, body);
}

void drawFrame(QPainter &p, const QRectF &rect)
{
    p.setPen(Edge);
    p.setBrush(Qt::NoBrush);
    p.drawRect(rect.adjusted(0, 0, -1, -1));
}

QImage mainBackground(QSize size, int scale, const QString &caption)
{
    QImage image = canvas(size, scale);
    const QRect area(QPoint(), size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    fillBody(p, area);
    // A band across the top carries the product name.
    QLinearGradient band(0, 0, size.width(), 0);
    band.setColorAt(0, AccentDark);
    band.setColorAt(1, QColor(0x24, 0x77, 0xab));
    p.fillRect(QRect(0, 0, size.width(), BandHeight), band);
    p.setPen(Ink);
    p.setFont(uiFont(22));
    p.drawText(QRect(18, 10, size.width() - 36, 40), Qt::AlignVCenter | Qt::AlignLeft, caption);
    // The foot, with an accent rule on its upper edge and a soft glow behind the round button.
    const QRect foot(0, FootTopY, size.width(), size.height() - FootTopY);
    QLinearGradient footFill(0, foot.top(), 0, foot.bottom());
    footFill.setColorAt(0, FootTop);
    footFill.setColorAt(1, FootBottom);
    p.fillRect(foot, footFill);
    QRadialGradient glow(size.width() - 50, size.height() - 58, 80);
    glow.setColorAt(0, QColor(0x2f, 0x9b, 0xd6, 70));
    glow.setColorAt(1, QColor(0x2f, 0x9b, 0xd6, 0));
    p.fillRect(foot, glow);
    p.fillRect(QRect(0, FootTopY, size.width(), 2), Accent);
    drawFrame(p, area);
    return image;
}

// The ground of the dialogs: light throughout (message boxes over a dialog take the same picture
// stretched to their own size), a thin accent band on top. The dialogs slice 5 pixels off every
// side of this picture and stretch the rest over the window, so band and rim sit inside that.
// The slice is counted in the picture's own pixels at every scale (style sheets do not divide it
// by the pixel ratio), so at twice the size band and rim move out to half of it.
QImage dialogBackground(QSize size, int scale)
{
    const qreal slice = 5.0 / scale;
    QImage image = canvas(size, scale);
    QPainter p(&image);
    const QRect area(QPoint(), size);
    fillBody(p, area);
    const QRectF shown = QRectF(area).adjusted(slice, slice, -slice, -slice);
    QLinearGradient band(0, 0, size.width(), 0);
    band.setColorAt(0, AccentDark);
    band.setColorAt(1, Accent);
    p.fillRect(QRectF(shown.left(), shown.top(), shown.width(), 4), band);
    drawFrame(p, shown);
    return image;
}

// The dark ground of the lists (their entries are drawn in light grey). The lists slice 3 pixels
// off the top and bottom and 10 off the sides and stretch the rest, so the rim sits inside that
// (in the picture's own pixels, as for the dialogs).
QImage listFrame(QSize size, int scale)
{
    QImage image = canvas(size, scale);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal sides = 10.0 / scale, ends = 3.0 / scale;
    const QRectF shown = QRectF(QRect(QPoint(), size)).adjusted(sides, ends, -sides, -ends);
    QPainterPath frame;
    frame.addRoundedRect(shown.adjusted(0.5, 0.5, -0.5, -0.5), 4, 4);
    p.fillPath(frame, QColor(0x12, 0x14, 0x17));
    p.setPen(QPen(QColor(0x4a, 0x50, 0x58), 1));
    p.drawPath(frame);
    return image;
}

// A rounded push button with a caption (or a glyph drawn by the caller).
QImage buttonFace(QSize size, int scale, State state, const QString &caption, bool round,
        const std::function<void(QPainter &, const QRectF &, const QColor &)> &glyph = {})
{
    QImage image = canvas(size, scale);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QColor top = ButtonTop, bottom = ButtonBottom, ink = Ink;
    switch (state) {
    case State::Normal:
        break;
    case State::Over:
        top = top.lighter(115);
        bottom = bottom.lighter(115);
        break;
    case State::Down:
        std::swap(top, bottom);
        top = top.darker(115);
        break;
    case State::Inactive:
        top = QColor(0x55, 0x59, 0x5f);
        bottom = QColor(0x3b, 0x3e, 0x43);
        ink = QColor(0x9a, 0x9d, 0xa1);
        break;
    }
    const QRectF body = QRectF(QRect(QPoint(), size)).adjusted(1, 1, -1, -1);
    QPainterPath path;
    if (round)
        path.addEllipse(body);
    else
        path.addRoundedRect(body, 5, 5);
    QLinearGradient fill(0, 0, 0, size.height());
    fill.setColorAt(0, top);
    fill.setColorAt(1, bottom);
    p.fillPath(path, fill);
    p.setPen(QPen(QColor(255, 255, 255, state == State::Inactive ? 25 : 70), 1));
    p.drawPath(path);
    const QRectF inner = state == State::Down ? body.translated(0, 1) : body;
    if (glyph) {
        glyph(p, inner, ink);
        return image;
    }
    p.setPen(ink);
    p.setFont(uiFont(round ? 15 : qMin(14, size.height() / 2)));
    p.drawText(inner, Qt::AlignCenter, caption);
    return image;
}

void plusGlyph(QPainter &p, const QRectF &r, const QColor &ink)
{
    p.setPen(QPen(ink, 3, Qt::SolidLine, Qt::RoundCap));
    const QPointF c = r.center();
    p.drawLine(QPointF(c.x() - 7, c.y()), QPointF(c.x() + 7, c.y()));
    p.drawLine(QPointF(c.x(), c.y() - 7), QPointF(c.x(), c.y() + 7));
}

void minusGlyph(QPainter &p, const QRectF &r, const QColor &ink)
{
    p.setPen(QPen(ink, 3, Qt::SolidLine, Qt::RoundCap));
    const QPointF c = r.center();
    p.drawLine(QPointF(c.x() - 7, c.y()), QPointF(c.x() + 7, c.y()));
}

void windowGlyph(QPainter &p, const QRectF &r, const QColor &ink)
{
    p.setPen(QPen(ink, 1.5));
    const QRectF frame(r.center().x() - 8, r.center().y() - 6, 16, 12);
    p.drawRect(frame);
    p.fillRect(QRectF(frame.left(), frame.top(), frame.width(), 3), ink);
}

// A round button of the login corner: a symbol above a caption.
QImage cornerButton(QSize size, int scale, State state, const QString &caption, bool arrowIn)
{
    return buttonFace(size, scale, state, caption, true,
            [&](QPainter &p, const QRectF &r, const QColor &ink) {
                const QPointF c(r.center().x(), r.top() + r.height() * 0.38);
                p.setPen(QPen(ink, 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
                const qreal dir = arrowIn ? 1 : -1;
                p.drawLine(QPointF(c.x() - 10 * dir, c.y()), QPointF(c.x() + 8 * dir, c.y()));
                p.drawLine(QPointF(c.x() + 8 * dir, c.y()), QPointF(c.x() + 2 * dir, c.y() - 6));
                p.drawLine(QPointF(c.x() + 8 * dir, c.y()), QPointF(c.x() + 2 * dir, c.y() + 6));
                p.setFont(uiFont(12));
                p.drawText(QRectF(r.left(), r.top() + r.height() * 0.55, r.width(), 18),
                        Qt::AlignCenter, caption);
            });
}

QImage titlePicture(QSize size, int scale, const QString &title)
{
    QImage image = canvas(size, scale);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(TitleInk);
    p.setFont(uiFont(size.height() - 4));
    QRectF textRect;
    p.drawText(QRectF(0, 0, size.width(), size.height()), Qt::AlignLeft | Qt::AlignVCenter, title,
            &textRect);
    // A thin accent rule runs from the end of the title to the right edge.
    const qreal y = size.height() / 2.0;
    QLinearGradient rule(textRect.right() + 8, 0, size.width(), 0);
    rule.setColorAt(0, Accent);
    rule.setColorAt(1, QColor(0x2f, 0x9b, 0xd6, 0));
    p.setPen(QPen(QBrush(rule), 2));
    p.drawLine(QPointF(textRect.right() + 8, y), QPointF(size.width(), y));
    return image;
}

// The mark: a screen with a beam going out to the right. Its shapes in fractions of the side,
// shared by the pictures and the scalable icon.
struct Arc
{
    QRectF box;
    int startDegrees, spanDegrees; // counter-clockwise from three o'clock, as QPainter takes them
};
constexpr qreal CornerRadius = 0.22;
const QRectF ScreenRect(0.16, 0.24, 0.5, 0.36);
constexpr qreal ScreenRadius = 0.04;
const QLineF Stand(0.41, 0.6, 0.41, 0.72);
const QLineF Foot(0.28, 0.74, 0.54, 0.74);
const Arc Beams[] = { { QRectF(0.5, 0.3, 0.3, 0.24), -60, 120 },
    { QRectF(0.46, 0.2, 0.44, 0.44), -55, 110 } };

QRectF scaled(const QRectF &r, qreal s)
{
    return QRectF(r.x() * s, r.y() * s, r.width() * s, r.height() * s);
}

QLineF scaled(const QLineF &l, qreal s)
{
    return QLineF(l.p1() * s, l.p2() * s);
}

QImage logo(QSize size)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size.width();
    QPainterPath disc;
    disc.addRoundedRect(QRectF(0, 0, s, s), s * CornerRadius, s * CornerRadius);
    QLinearGradient fill(0, 0, 0, s);
    fill.setColorAt(0, Accent);
    fill.setColorAt(1, AccentDark);
    p.fillPath(disc, fill);
    if (s >= 16) {
        p.setPen(QPen(Ink, qMax(1.0, s / 16)));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(scaled(ScreenRect, s), s * ScreenRadius, s * ScreenRadius);
        p.drawLine(scaled(Stand, s));
        p.drawLine(scaled(Foot, s));
        for (const Arc &arc : Beams)
            p.drawArc(scaled(arc.box, s), arc.startDegrees * 16, arc.spanDegrees * 16);
    } else {
        p.fillRect(QRectF(s * 0.2, s * 0.25, s * 0.6, s * 0.4), Ink);
    }
    return image;
}

// The same mark as SVG, for the icon theme's scalable size.
QString logoSvg()
{
    constexpr qreal S = 256;
    const auto n = [](qreal v) { return QString::number(v, 'g', 6); };
    const auto point = [&](const Arc &arc, int degrees) {
        const QRectF box = scaled(arc.box, S);
        const qreal a = qDegreesToRadians(qreal(degrees));
        return QPointF(box.center().x() + box.width() / 2 * qCos(a),
                box.center().y() - box.height() / 2 * qSin(a));
    };
    const QRectF screen = scaled(ScreenRect, S);
    const QLineF stand = scaled(Stand, S), foot = scaled(Foot, S);
    QString beams;
    for (const Arc &arc : Beams) {
        const QPointF from = point(arc, arc.startDegrees);
        const QPointF to = point(arc, arc.startDegrees + arc.spanDegrees);
        // Sweep flag 0: counter-clockwise on the screen, as QPainter turns.
        beams += QString("  <path d=\"M %1 %2 A %3 %4 0 %5 0 %6 %7\"/>\n")
                         .arg(n(from.x()), n(from.y()), n(arc.box.width() * S / 2),
                                 n(arc.box.height() * S / 2), arc.spanDegrees > 180 ? "1" : "0",
                                 n(to.x()), n(to.y()));
    }
    return QString("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%1\" "
                   "viewBox=\"0 0 %1 %1\">\n"
                   " <defs><linearGradient id=\"fill\" x1=\"0\" y1=\"0\" x2=\"0\" y2=\"1\">"
                   "<stop offset=\"0\" stop-color=\"%2\"/><stop offset=\"1\" "
                   "stop-color=\"%3\"/></linearGradient></defs>\n"
                   " <rect width=\"%1\" height=\"%1\" rx=\"%4\" fill=\"url(#fill)\"/>\n"
                   " <g fill=\"none\" stroke=\"%5\" stroke-width=\"%6\">\n"
                   "  <rect x=\"%7\" y=\"%8\" width=\"%9\" height=\"%10\" rx=\"%11\"/>\n"
                   "  <path d=\"M %12 %13 L %14 %15 M %16 %17 L %18 %19\"/>\n")
                   .arg(n(S), Accent.name(), AccentDark.name(), n(S * CornerRadius), Ink.name(),
                           n(S / 16), n(screen.x()), n(screen.y()), n(screen.width()))
                   .arg(n(screen.height()), n(S * ScreenRadius), n(stand.x1()), n(stand.y1()),
                           n(stand.x2()), n(stand.y2()), n(foot.x1()), n(foot.y1()), n(foot.x2()))
                   .arg(n(foot.y2()))
            + beams + " </g>\n</svg>\n";
}

QImage render(const skin::Artwork &art, int scale)
{
    const QString name = art.fileName;
    const State state = stateOf(name);
    const QSize size = art.size;
    if (name.endsWith(".ico") || name.startsWith("tandeo_desktop_"))
        return logo(size); // at every size an icon theme takes instead of at every scale
    if (name == "main_bg.png")
        return mainBackground(size, scale, "Tandeo Desktop");
    if (name == "edit_profile_bg.png")
        return dialogBackground(size, scale);
    if (name == "profile_bg.png")
        return listFrame(size, scale);
    if (name == "t_connection.png")
        return titlePicture(size, scale, "Connection");
    if (name == "t_share.png")
        return titlePicture(size, scale, "Share");
    if (name == "t_select_program.png")
        return titlePicture(size, scale, "Select Program");
    if (name == "t_connection_profile.png")
        return titlePicture(size, scale, "Connection Profile");
    if (name.startsWith("btn_login"))
        return cornerButton(size, scale, state, "Login", true);
    if (name.startsWith("btn_logout"))
        return cornerButton(size, scale, state, "Logout", false);
    if (name.startsWith("btn_add"))
        return buttonFace(size, scale, state, QString(), false, plusGlyph);
    if (name.startsWith("btn_delete"))
        return buttonFace(size, scale, state, QString(), false, minusGlyph);
    if (name.startsWith("btn_select_program"))
        return buttonFace(size, scale, state, QString(), false, windowGlyph);
    if (name.startsWith("btn_edit"))
        return buttonFace(size, scale, state, "Edit", false);
    if (name.startsWith("btn_share"))
        return buttonFace(size, scale, state, "Share", false);
    if (name.startsWith("btn_stop"))
        return buttonFace(size, scale, state, "Stop", false);
    if (name.startsWith("btn_ok"))
        return buttonFace(size, scale, state, "OK", false);
    if (name.startsWith("btn_cancel"))
        return buttonFace(size, scale, state, "Cancel", false);
    return QImage();
}

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: tandeo-artwork <output folder>\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }
    for (const skin::Artwork &art : skin::artwork()) {
        for (int scale : { 1, skin::HiDpiScale }) {
            if (scale != 1 && !skin::hasHiDpiVersion(art))
                continue;
            QImage image = render(art, scale);
            if (art.fileName.endsWith(".ico"))
                image = image.convertToFormat(QImage::Format_ARGB32);
            const QString path =
                    out.filePath(scale == 1 ? art.fileName : skin::hiDpiFileName(art.fileName));
            if (image.isNull() || image.size() != art.size * scale
                    || !image.save(path, art.fileName.endsWith(".ico") ? "ICO" : "PNG")) {
                std::fprintf(stderr, "cannot render %s\n", qPrintable(path));
                return 1;
            }
        }
    }
    QFile svg(out.filePath(skin::ScalableIcon));
    if (!svg.open(QIODevice::WriteOnly | QIODevice::Truncate) || svg.write(logoSvg().toUtf8()) < 0
            || !svg.flush()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(svg.fileName()));
        return 1;
    }
    return 0;
}
