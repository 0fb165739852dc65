// Every window as a user sees it: each text a form draws fits its fixed width in full, and reads
// against the artwork behind it (contrast of at least 4.5:1 between the text colour and the
// median of the rendered pixels behind the text, measured with the text itself hidden).
//
// The selected profile and the focus ring stand out by at least 3:1 from what is around them,
// the selected text by 4.5:1 from its bar, all measured the same way on the rendered pixels.
//
// With TANDEO_SCREENS_DIR set, each window is also saved there as a PNG:
//   TANDEO_SCREENS_DIR=docs/screens QT_QPA_PLATFORM=offscreen build/bin/app_look_tests

#include "dlg_tasklist.h"
#include "focus_ring.h"
#include "font_substitutes.h"
#include "light_palette.h"
#include "mainwindow.h"
#include "mainwindow_probe.h"
#include "profile_window.h"
#include "test_support.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QDir>
#include <QFontInfo>
#include <QGraphicsOpacityEffect>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScreen>
#include <QStyleOptionButton>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <numbers>

using namespace testsupport;

namespace {

constexpr double MinContrast = 4.5;

double channelLight(int value)
{
    const double c = value / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

double luminance(const QColor &c)
{
    return 0.2126 * channelLight(c.red()) + 0.7152 * channelLight(c.green())
            + 0.0722 * channelLight(c.blue());
}

double contrast(const QColor &a, const QColor &b)
{
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor medianColour(const QImage &image, const QRect &rect)
{
    std::vector<int> channel[3];
    const QRect area = rect & image.rect();
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb px = image.pixel(x, y);
            channel[0].push_back(qRed(px));
            channel[1].push_back(qGreen(px));
            channel[2].push_back(qBlue(px));
        }
    }
    if (channel[0].empty())
        return QColor();
    int mid[3];
    for (int i = 0; i < 3; ++i) {
        auto middle = channel[i].begin() + channel[i].size() / 2;
        std::nth_element(channel[i].begin(), middle, channel[i].end());
        mid[i] = *middle;
    }
    return QColor(mid[0], mid[1], mid[2]);
}

// One drawn text: the widths it needs and has, where it is drawn and in which colours.
struct DrawnText
{
    QWidget *widget = nullptr;
    QString text;
    int advance = 0; // widest line as drawn, in pixels
    int room = 0; // width the widget gives it
    bool wrappedFits = true; // for word-wrapped labels: all lines fit the height
    QRect area; // in the widget's own coordinates
    QList<QColor> colours;
};

QColor windowText(const QWidget *w)
{
    return w->palette().color(QPalette::Active, QPalette::WindowText);
}

DrawnText measureLabel(QLabel *label)
{
    DrawnText t;
    t.widget = label;
    t.text = label->text();
    QRect cr = label->contentsRect();
    const int m = label->margin();
    cr.adjust(m, m, -m, -m);
    t.area = cr;
    t.room = cr.width();
    QTextDocument doc;
    doc.setDefaultFont(label->font());
    doc.setDocumentMargin(0);
    const bool rich = label->textFormat() == Qt::RichText
            || (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(t.text));
    if (rich)
        doc.setHtml(t.text);
    else
        doc.setPlainText(t.text);
    // The widest line as the label draws it: each run of text in its own font.
    for (QTextBlock block = doc.begin(); block.isValid(); block = block.next()) {
        int width = 0;
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            const QTextCharFormat format = fragment.charFormat();
            const QFont font = format.font().resolve(doc.defaultFont());
            width += QFontMetrics(font).horizontalAdvance(fragment.text());
            const QString ink = fragment.text().trimmed();
            if (!ink.isEmpty() && !t.colours.contains(format.foreground().color())
                    && format.foreground().style() != Qt::NoBrush)
                t.colours << format.foreground().color();
        }
        t.advance = std::max(t.advance, width);
    }
    if (t.colours.isEmpty())
        t.colours << windowText(label);
    if (label->wordWrap()) {
        // A wrapped label needs each word to fit and all lines to fit the height.
        doc.setTextWidth(t.room);
        t.wrappedFits = doc.size().height() <= cr.height();
        t.advance = 0;
        for (const QString &word : doc.toPlainText().split(QRegularExpression("\\s+")))
            t.advance = std::max(t.advance, QFontMetrics(label->font()).horizontalAdvance(word));
    }
    return t;
}

DrawnText measureRadio(QRadioButton *radio)
{
    QStyleOptionButton option;
    option.initFrom(radio);
    option.text = radio->text();
    DrawnText t;
    t.widget = radio;
    t.text = radio->text();
    t.area = radio->style()->subElementRect(QStyle::SE_RadioButtonContents, &option, radio);
    t.room = t.area.width();
    t.advance = radio->fontMetrics().horizontalAdvance(t.text);
    t.colours << windowText(radio);
    return t;
}

std::vector<DrawnText> drawnTexts(QWidget *window)
{
    std::vector<DrawnText> texts;
    for (QLabel *label : window->findChildren<QLabel *>()) {
        if (!label->text().isEmpty())
            texts.push_back(measureLabel(label));
    }
    for (QRadioButton *radio : window->findChildren<QRadioButton *>())
        texts.push_back(measureRadio(radio));
    return texts;
}

// The window as rendered with every text hidden: the pixels the texts are read against.
QImage backgroundOf(QWidget *window, const std::vector<DrawnText> &texts)
{
    for (const DrawnText &t : texts) {
        auto *hide = new QGraphicsOpacityEffect(t.widget);
        hide->setOpacity(0);
        t.widget->setGraphicsEffect(hide);
    }
    const QImage image = window->grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (const DrawnText &t : texts)
        t.widget->setGraphicsEffect(nullptr);
    return image;
}

// The one walk over a window: every text fits; every visible, enabled text reads. (Disabled
// controls draw in the style's muted colour on purpose.) Prints each measurement.
void checkWindow(QWidget *window, const QString &form, bool screenshot = true)
{
    window->show();
    QApplication::processEvents();
    if (screenshot)
        saveScreen(window, form);
    const std::vector<DrawnText> texts = drawnTexts(window);
    ASSERT_FALSE(texts.empty()) << qPrintable(form);
    const QImage background = backgroundOf(window, texts);
    for (const DrawnText &t : texts) {
        const QString where = form + " / " + t.widget->objectName();
        EXPECT_LE(t.advance, t.room) << qPrintable(where) << " clips " << qPrintable(t.text);
        EXPECT_TRUE(t.wrappedFits) << qPrintable(where) << " loses lines";
        QString measured = "hidden or disabled";
        if (t.widget->isVisibleTo(window) && t.widget->isEnabled()) {
            const QRect area(t.widget->mapTo(window, t.area.topLeft()), t.area.size());
            const QColor ground = medianColour(background, area);
            double ratio = 1e9;
            for (const QColor &ink : t.colours)
                ratio = std::min(ratio, contrast(ink, ground));
            EXPECT_GE(ratio, MinContrast)
                    << qPrintable(where) << " ink " << qPrintable(t.colours.first().name())
                    << " on " << qPrintable(ground.name());
            measured = QString("contrast %1").arg(ratio, 0, 'f', 2);
        }
        std::printf("[look] %-34s %-8s width %3d/%3d  %s\n", qPrintable(where),
                qPrintable(QFontInfo(t.widget->font()).family()), t.advance, t.room,
                qPrintable(measured));
    }
}

// Along rays from a control's centre every 10 degrees, from where a ray leaves the control (its
// ellipse for a round face) 7 px outwards, square to the edge: the best contrast between the
// pixels drawn with the focus and without. The ring is there, all round, when the weakest ray
// still finds 3:1.
double weakestRingContrast(
        const QImage &focused, const QImage &plain, const QRect &body, bool round)
{
    const QPointF centre = QRectF(body).center();
    const double a = body.width() / 2.0, b = body.height() / 2.0;
    double weakest = 1e9;
    for (int degrees = 0; degrees < 360; degrees += 10) {
        const double angle = degrees * std::numbers::pi / 180;
        const double c = std::cos(angle), s = std::sin(angle);
        QPointF edge, normal;
        if (round) {
            const double t = 1 / std::sqrt(c * c / (a * a) + s * s / (b * b));
            edge = QPointF(c * t, s * t);
            normal = QPointF(edge.x() / (a * a), edge.y() / (b * b));
        } else {
            const double toSide = std::abs(c) > 1e-9 ? a / std::abs(c) : 1e9;
            const double toTopOrBottom = std::abs(s) > 1e-9 ? b / std::abs(s) : 1e9;
            edge = QPointF(c, s) * std::min(toSide, toTopOrBottom);
            normal = toSide < toTopOrBottom ? QPointF(c > 0 ? 1 : -1, 0)
                                            : QPointF(0, s > 0 ? 1 : -1);
        }
        normal /= std::hypot(normal.x(), normal.y());
        double best = 1;
        for (double k = 0; k <= 7; k += 0.5) {
            const QPoint p = (centre + edge + normal * k).toPoint();
            if (focused.rect().contains(p))
                best = std::max(best, contrast(focused.pixelColor(p), plain.pixelColor(p)));
        }
        weakest = std::min(weakest, best);
    }
    return weakest;
}

QImage grabRgb(QWidget *window)
{
    return window->grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Every visible control of the window that takes Tab: its ring measured against the window
// without focus. Saves the first ring under `shotName` when a screens folder is set.
void checkFocusRings(QWidget *window, const QString &form)
{
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window)) << qPrintable(form);
    int measured = 0;
    for (QWidget *control : window->findChildren<QWidget *>()) {
        if (!control->isVisibleTo(window) || !control->isEnabled() || control->isWindow()
                || !(control->focusPolicy() & Qt::TabFocus) || control->focusProxy())
            continue;
        if (QWidget *current = QApplication::focusWidget())
            current->clearFocus();
        QApplication::processEvents();
        const QImage plain = grabRgb(window);
        control->setFocus(Qt::TabFocusReason);
        QApplication::processEvents();
        ASSERT_EQ(QApplication::focusWidget(), control) << qPrintable(control->objectName());
        const QImage focused = grabRgb(window);
        const QRect body(control->mapTo(window, QPoint(0, 0)), control->size());
        const double ratio = weakestRingContrast(
                focused, plain, body, control->property(skin::RoundFaceProperty).toBool());
        const QString where = form + " / " + control->objectName();
        EXPECT_GE(ratio, 3.0) << qPrintable(where);
        std::printf("[focus] %-34s ring contrast %.2f\n", qPrintable(where), ratio);
        if (measured++ == 0 || control->property(skin::RoundFaceProperty).toBool())
            saveScreen(window, "focus_" + form + "_" + control->objectName());
    }
    EXPECT_GT(measured, 0) << qPrintable(form);
}

QList<QDialog *> visibleDialogs()
{
    QList<QDialog *> dialogs;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *dialog = qobject_cast<QDialog *>(widget); dialog && dialog->isVisible())
            dialogs << dialog;
    }
    return dialogs;
}

// Runs open(), which blocks in a modal loop, and hands the dialog it opens to inspect() before
// closing it. A dialog that does not come within 10 s fails the test, and whatever opened
// meanwhile is closed so the test cannot hang.
void withModal(const std::function<void()> &open, const std::function<void(QWidget *)> &inspect)
{
    const QList<QDialog *> before = visibleDialogs();
    const auto opened = [&] {
        QList<QDialog *> dialogs = visibleDialogs();
        dialogs.removeIf([&](QDialog *d) { return before.contains(d); });
        return dialogs;
    };
    QTimer poll, deadline;
    bool seen = false;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        const QList<QDialog *> dialogs = opened();
        if (dialogs.isEmpty())
            return;
        poll.stop();
        deadline.stop();
        seen = true;
        inspect(dialogs.first());
        dialogs.first()->reject();
    });
    QObject::connect(&deadline, &QTimer::timeout, [&] {
        poll.stop();
        for (QDialog *stuck : opened())
            stuck->reject();
    });
    poll.start(10);
    deadline.start(10000);
    open();
    EXPECT_TRUE(seen);
}

class FormLookTest : public ::testing::Test, protected ProfileWindow
{
protected:
    // The login page, the share page and the profile editor, each handed to check with its
    // name and `suffix`; the window is back on its login page after.
    void eachForm(const std::function<void(QWidget *, const QString &)> &check,
            const QString &suffix = QString())
    {
        check(&window, "main_login" + suffix);
        window.hideLoginPage();
        window.showSharePage();
        check(&window, "main_share" + suffix);
        window.hideSharePage();
        window.showLoginPage();
        withModal([&] { probe.widget<QPushButton>("BtnAdd")->click(); },
                [&](QWidget *editor) { check(editor, "profile_editor" + suffix); });
    }
};

TEST(FontStandIns, NamedFacesResolveToInstalledNarrowerFaces)
{
    // The set-up installs the first stand-in of each list; the forms' faces then come out as
    // those rather than fontconfig's wide default.
    const struct
    {
        QFont font;
        QStringList expected;
    } cases[] = {
        { QFont("Corbel", 12), fonts::corbelStandIns() },
        { QFont("Vladimir Script"), fonts::scriptStandIns() },
        { QApplication::font(), fonts::defaultStandIns() },
    };
    for (const auto &c : cases) {
        const QString family = QFontInfo(c.font).family();
        EXPECT_EQ(family, c.expected.first()) << qPrintable(c.font.family());
    }
    // The platform's size stays; only the face changes.
    EXPECT_EQ(QApplication::font().pointSize(), QFont().pointSize());
}

TEST_F(FormLookTest, MainWindowLoginPage)
{
    window.beginLoginWait(); // the status text shows only while a login waits
    checkWindow(&window, "main_login");
}

TEST_F(FormLookTest, MainWindowSharePage)
{
    window.hideLoginPage();
    window.showSharePage();
    checkWindow(&window, "main_share");

    // Sharing: the status with its longest text, the share choices disabled.
    auto *status = probe.widget<QLabel>("labelShareStatus");
    status->setText("<font color='#F2F2F2'>Sharing .....</font>");
    status->show();
    probe.widget<QWidget>("QRadioBtnDesktop")->setEnabled(false);
    probe.widget<QWidget>("BtnShare")->setEnabled(false);
    checkWindow(&window, "main_sharing");
}

// The share status is drawn once per text and shown from a picture after that: at every step
// of its dots, and after a change of font, it looks exactly as a plain label of the same text
// in the same place.
TEST_F(FormLookTest, TheShareStatusLooksAsAPlainLabelAtEveryStep)
{
    window.hideLoginPage();
    window.showSharePage();
    auto *status = probe.widget<QLabel>("labelShareStatus");
    status->show();
    window.show();
    QLabel plain(status->parentWidget());
    plain.setGeometry(status->geometry());
    // What reaches the screen: a widget's own grab takes another way through its painting.
    const auto statusArea = [&] {
        QTest::qWait(30);
        const QPoint at = status->mapTo(&window, QPoint());
        return window.screen()
                ->grabWindow(window.winId(), at.x(), at.y(), status->width(), status->height())
                .toImage();
    };
    plain.hide();
    status->hide();
    const QImage nothing = statusArea();
    // As in a share: the text changes on the label in view, one paint each.
    const auto compareAtEveryStep = [&](const char *what) {
        const auto textOf = [](int frame) {
            return "<font color='#F2F2F2'>Sharing " + QString(frame % 6, '.') + "</font>";
        };
        plain.setFont(status->font());
        plain.show();
        QList<QImage> expected;
        for (int frame = 0; frame < 12; ++frame) {
            plain.setText(textOf(frame));
            expected.append(statusArea());
        }
        plain.hide();
        status->show();
        for (int frame = 0; frame < 12; ++frame) {
            status->setText(textOf(frame));
            const QImage shown = statusArea();
            EXPECT_EQ(shown, expected[frame]) << what << ", frame " << frame;
            EXPECT_NE(shown, nothing) << what << ", frame " << frame;
            EXPECT_EQ(status->text(), textOf(frame));
        }
        status->hide();
    };
    compareAtEveryStep("the form's font");
    QFont larger = status->font();
    larger.setPointSize(larger.pointSize() + 3);
    status->setFont(larger);
    compareAtEveryStep("a larger font");
}

TEST_F(FormLookTest, ProfileEditorAndItsWarnings)
{
    withModal([&] { probe.widget<QPushButton>("BtnAdd")->click(); },
            [&](QWidget *editor) {
                checkWindow(editor, "profile_editor");
                auto *ok = editor->findChild<QPushButton *>("BtnOk");
                // Both warnings open over the editor and take its background.
                withModal([&] { ok->click(); },
                        [&](QWidget *box) { checkWindow(box, "profile_editor_warning"); });
                editor->findChild<QLineEdit *>("QLEditTitle")->setText("Room");
                withModal([&] { ok->click(); },
                        [&](QWidget *box) { checkWindow(box, "profile_editor_warning_ip"); });
            });
}

// The colours a desktop in a dark scheme hands every program: light text on dark ground.
QPalette darkDesktopPalette()
{
    QPalette dark;
    for (const auto &[role, colour] : { std::pair(QPalette::Window, "#2d2d2d"),
                 std::pair(QPalette::WindowText, "#f0f0f0"), std::pair(QPalette::Base, "#1e1e1e"),
                 std::pair(QPalette::Text, "#f0f0f0"), std::pair(QPalette::Button, "#3c3c3c"),
                 std::pair(QPalette::ButtonText, "#f0f0f0") })
        dark.setColor(role, QColor(colour));
    return dark;
}

TEST_F(FormLookTest, ADarkDesktopLeavesTheFormsReadable)
{
    // The forms' own colours are those of a desktop without a scheme, so nothing changes there.
    const QPalette light = skin::lightPalette();
    for (int group = 0; group < QPalette::NColorGroups; ++group) {
        for (int role = 0; role < QPalette::NColorRoles; ++role) {
            const auto g = QPalette::ColorGroup(group);
            const auto r = QPalette::ColorRole(role);
            EXPECT_EQ(light.color(g, r), QApplication::palette().color(g, r))
                    << "group " << group << ", role " << role;
        }
    }

    const QPalette desktop = QApplication::palette();
    QApplication::setPalette(darkDesktopPalette());
    eachForm([](QWidget *form, const QString &name) { checkWindow(form, name); }, "_dark");
    QApplication::setPalette(desktop);
}

TEST_F(FormLookTest, SelectedProfileStandsOut)
{
    window.insertProfile("Board room", "127.0.0.2", "");
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    auto *list = probe.widget<QListView>("listViewProfile");
    // Reached by the keyboard, the list selects its current row.
    list->setFocus(Qt::TabFocusReason);
    ASSERT_EQ(list->selectionModel()->selectedIndexes().size(), 1);
    const QModelIndex selected = list->selectionModel()->selectedIndexes().first();
    const QModelIndex other = list->model()->index(1 - selected.row(), 0);
    QApplication::processEvents();
    saveScreen(&window, "selected_profile");

    const QImage image = grabRgb(&window);
    const auto inWindow = [&](const QModelIndex &index) {
        const QRect row = list->visualRect(index);
        return QRect(list->viewport()->mapTo(&window, row.topLeft()), row.size());
    };
    // The bar against the unselected row's ground (both medians: the text covers little), and
    // the brightest pixel of the selected row, its text, against the bar.
    const QColor bar = medianColour(image, inWindow(selected));
    const QColor ground = medianColour(image, inWindow(other));
    QColor ink = bar;
    const QRect row = inWindow(selected);
    for (int y = row.top(); y <= row.bottom(); ++y) {
        for (int x = row.left(); x <= row.right(); ++x) {
            if (luminance(image.pixelColor(x, y)) > luminance(ink))
                ink = image.pixelColor(x, y);
        }
    }
    std::printf("[look] selected row %s on %s, text %s: %.2f, text %.2f\n", qPrintable(bar.name()),
            qPrintable(ground.name()), qPrintable(ink.name()), contrast(bar, ground),
            contrast(ink, bar));
    EXPECT_GE(contrast(bar, ground), 3.0);
    EXPECT_GE(contrast(ink, bar), MinContrast);
}

TEST_F(FormLookTest, FocusRingOnEveryControl)
{
    eachForm(checkFocusRings);
}

TEST_F(FormLookTest, ApplicationPicker)
{
    withModal([&] { window.on_BtnSelectApp_clicked(); },
            [&](QWidget *picker) {
                ASSERT_TRUE(qobject_cast<dlgTasklist *>(picker));
                saveScreen(picker, "app_picker");
                // The picker draws no text of its own: its title is a picture, its entries
                // are coloured by the list's style sheet.
                EXPECT_TRUE(drawnTexts(picker).empty());
            });
}

TEST_F(FormLookTest, LoginFlowMessages)
{
    // The first box through the real click, the others as the login flow shows them.
    withModal([&] { probe.widget<QPushButton>("BtnLogin")->click(); },
            [&](QWidget *box) { checkWindow(box, "login_warning"); });
    const char *texts[] = { "This profile does not exist", "Remote system cannot be accessed",
        "System cannot be accessed", "Too many users", "Connection password incorrect",
        "Invalid IP address", "Time out", "Not support content sharing", "Please log out first" };
    for (const char *text : texts) {
        withModal([&] { window.showInfo("Warning", text); },
                [&](QWidget *box) {
                    EXPECT_EQ(qobject_cast<QMessageBox *>(box)->text(), text);
                    checkWindow(box, QString("login_warning (%1)").arg(text), false);
                });
    }
}

} // namespace
