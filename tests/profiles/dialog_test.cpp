// The profile editor on real widgets: typing, clicking OK and Cancel, and modal runs answered
// by the test.

#include "dialog.h"
#include "test_support.h"
#include "typing.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

QLineEdit *field(QWidget *dialog, const char *name)
{
    auto *edit = dialog->findChild<QLineEdit *>(name);
    EXPECT_TRUE(edit) << name;
    return edit;
}

QPushButton *button(QWidget *dialog, const char *name)
{
    return dialog->findChild<QPushButton *>(name);
}

// Types into the editor's fields the way a user does (key by key, through the validators).
void typeProfile(
        QWidget *dialog, const QString &title, const QStringList &octets, const QString &pw)
{
    testprofiles::typeText(field(dialog, "QLEditTitle"), title);
    const char *names[] = { "QLEditIP1", "QLEditIP2", "QLEditIP3", "QLEditIP4" };
    for (int i = 0; i < 4 && i < octets.size(); ++i)
        testprofiles::typeText(field(dialog, names[i]), octets.at(i));
    testprofiles::typeText(field(dialog, "QLEditPW"), pw);
}

struct OkCase
{
    const char *what;
    QString title;
    QStringList octets;
    QString message; // empty: the dialog is accepted
};

void PrintTo(const OkCase &c, std::ostream *os)
{
    *os << c.what;
}

class DialogOkTest : public ::testing::TestWithParam<OkCase>
{
};

TEST_P(DialogOkTest, OkShowsTheFirstFailingRuleOrAccepts)
{
    const OkCase &c = GetParam();
    Dialog dialog;
    dialog.show();
    typeProfile(&dialog, c.title, c.octets, "");
    BoxAnswerer boxes;
    boxes.dialogHandler = [](QWidget *) { return true; }; // the editor itself stays as it is
    QTest::mouseClick(button(&dialog, "BtnOk"), Qt::LeftButton);

    if (c.message.isEmpty()) {
        EXPECT_TRUE(boxes.texts().isEmpty());
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_FALSE(dialog.isVisible());
        return;
    }
    ASSERT_EQ(boxes.boxes().size(), 1) << "one message per click";
    EXPECT_EQ(boxes.boxes().first().title, "Warning");
    EXPECT_EQ(boxes.boxes().first().text, c.message);
    EXPECT_TRUE(dialog.isVisible()) << "the dialog stays open";
    EXPECT_NE(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.getTitle(), c.title) << "the input stays as typed";
}

const QString TitleMissing = "Please fill in profile title";
const QString AddressMissing = "Please fill in full IP address";

INSTANTIATE_TEST_SUITE_P(Rules, DialogOkTest,
        ::testing::Values(OkCase{ "Empty", "", {}, TitleMissing },
                OkCase{ "TitleEmptyAddressFull", "", { "1", "2", "3", "4" }, TitleMissing },
                OkCase{ "NoAddress", "Lab", {}, AddressMissing },
                OkCase{ "ThirdOctetEmpty", "Lab", { "10", "0", "", "4" }, AddressMissing },
                OkCase{ "LastOctetEmpty", "Lab", { "10", "0", "3" }, AddressMissing },
                OkCase{ "BlankTitle", " ", { "10", "0", "3", "4" }, "" },
                OkCase{ "Complete", "Lab", { "0", "255", "00", "9" }, "" }),
        [](const auto &info) { return std::string(info.param.what); });

TEST(DialogTest, OctetFieldsTakeZeroTo255AndThreeCharactersOnly)
{
    struct
    {
        QString typed;
        QString shown;
    } cases[] = {
        { "255", "255" },
        { "256", "25" },
        { "300", "30" },
        { "999", "99" },
        { "001", "001" },
        { "1234", "123" },
        { "-1", "1" },
        { "1a2.", "12" },
        { " 7", "7" },
        // Only ASCII digits: no sign, no group separator, no other script's digits.
        { "+1", "1" },
        { "1,0", "10" },
        { "\u0661\u0662", "" },
        { "\uff11\uff12", "" },
        { "\u0967", "" },
    };
    Dialog dialog;
    dialog.show();
    for (const auto &c : cases) {
        QLineEdit *octet = field(&dialog, "QLEditIP2");
        octet->clear();
        testprofiles::typeText(octet, c.typed);
        EXPECT_EQ(octet->text(), c.shown) << "typed " << c.typed.toStdString();
    }
}

// Keys to whichever field has the focus, as a user's keyboard sends them.
void typeAtFocus(const QString &text)
{
    for (const QChar c : text)
        QTest::keyClick(QApplication::focusWidget(), char(c.unicode()));
}

TEST(DialogTest, ADotOrAThirdDigitMovesOnToTheNextOctetAndTabStillDoes)
{
    Dialog dialog;
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
    QLineEdit *octets[] = { field(&dialog, "QLEditIP1"), field(&dialog, "QLEditIP2"),
        field(&dialog, "QLEditIP3"), field(&dialog, "QLEditIP4") };

    octets[0]->setFocus();
    typeAtFocus("192.168.1.40");
    EXPECT_EQ(dialog.getIP(), "192.168.1.40");
    EXPECT_EQ(QApplication::focusWidget(), octets[3]);
    // The last field goes nowhere: a further dot or digit changes nothing.
    typeAtFocus(".5");
    EXPECT_EQ(dialog.getIP(), "192.168.1.40");

    // The keypad's decimal key of a German layout gives a comma: it moves on as the dot does.
    for (QLineEdit *octet : octets)
        octet->clear();
    octets[0]->setFocus();
    typeAtFocus("10,0,0,5");
    EXPECT_EQ(dialog.getIP(), "10.0.0.5");

    // A dot in an empty field stays there; typing into a field that was moved to replaces
    // what it held.
    for (QLineEdit *octet : octets)
        octet->clear();
    octets[0]->setFocus();
    typeAtFocus(".10.0.");
    EXPECT_EQ(QApplication::focusWidget(), octets[2]);
    typeAtFocus("7");
    octets[3]->setText("99");
    octets[2]->setFocus();
    typeAtFocus("7.5");
    EXPECT_EQ(dialog.getIP(), "10.0.77.5");

    // Over a stored address: each field moved to is typed over, and the dot after three
    // digits does not skip the field they moved to.
    dialog.setProfile("Lab", "10.0.0.1", "");
    octets[0]->setFocus();
    octets[0]->selectAll();
    typeAtFocus("192.168.1.40");
    EXPECT_EQ(dialog.getIP(), "192.168.1.40");

    octets[0]->setFocus();
    QTest::keyClick(octets[0], Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), octets[1]);
    QTest::keyClick(octets[1], Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), octets[2]);
}

TEST(DialogTest, OkRefusesAStoredOctetThatIsNoNumberAndKeepsPaddedOnes)
{
    struct
    {
        QString ip;
        bool accepted;
    } cases[] = {
        { "127.0.0.+2", false },
        { "1,0.0.0.1", false },
        { "10.0.0.\u0661", false },
        { "10.0.0. 1", false },
        { "10.0.0.256", false },
        { "127.000.000.071", true },
        { "10.0.0.255", true },
    };
    for (const auto &c : cases) {
        Dialog dialog;
        dialog.show();
        dialog.setProfile("Lab", c.ip, "");
        BoxAnswerer boxes;
        boxes.dialogHandler = [](QWidget *) { return true; };
        QTest::mouseClick(button(&dialog, "BtnOk"), Qt::LeftButton);
        EXPECT_EQ(dialog.result() == QDialog::Accepted, c.accepted) << c.ip.toStdString();
        EXPECT_EQ(boxes.texts(), c.accepted ? QStringList() : QStringList({ AddressMissing }))
                << c.ip.toStdString();
        if (c.accepted) {
            EXPECT_EQ(dialog.getIP(), c.ip) << "kept as stored";
        }
    }
}

TEST(DialogTest, AccessorsGiveTheTextsAsTyped)
{
    Dialog dialog;
    dialog.show();
    typeProfile(&dialog, "  Board 'A' 会議室 ", { "192", "168", "001", "20" }, "");
    EXPECT_EQ(dialog.getTitle(), "  Board 'A' 会議室 ");
    EXPECT_EQ(dialog.getIP(), "192.168.001.20") << "no trimming, leading zeros kept";
    EXPECT_EQ(dialog.getPW(), "");
    testprofiles::typeText(field(&dialog, "QLEditPW"), "p'w\"\\;");
    EXPECT_EQ(dialog.getPW(), "p'w\"\\;");
    EXPECT_EQ(field(&dialog, "QLEditPW")->displayText().contains("p"), false) << "echo is hidden";
}

TEST(DialogTest, SetProfileFillsTheFieldsForTheAccessors)
{
    struct
    {
        QString ip;
        QStringList octets;
        QString backFromGetIP;
    } cases[] = {
        { "192.168.1.20", { "192", "168", "1", "20" }, "192.168.1.20" },
        { "10.0.005.1", { "10", "0", "005", "1" }, "10.0.005.1" },
        // Fewer than four parts: the parts in order, the rest left empty.
        { "10.0.5", { "10", "0", "5", "" }, "10.0.5." },
        { "10", { "10", "", "", "" }, "10..." },
        { "", { "", "", "", "" }, "..." },
        { "1..3.4", { "1", "", "3", "4" }, "1..3.4" },
        // More than four parts: the first four.
        { "1.2.3.4.5", { "1", "2", "3", "4" }, "1.2.3.4" },
    };
    for (const auto &c : cases) {
        Dialog dialog;
        dialog.setProfile("Room 'B'", c.ip, "it''s");
        EXPECT_EQ(dialog.getTitle(), "Room 'B'");
        EXPECT_EQ(dialog.getPW(), "it''s");
        EXPECT_EQ(dialog.getIP(), c.backFromGetIP) << c.ip.toStdString();
        const char *names[] = { "QLEditIP1", "QLEditIP2", "QLEditIP3", "QLEditIP4" };
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(field(&dialog, names[i])->text(), c.octets.at(i)) << c.ip.toStdString();
    }
}

TEST(DialogTest, ModalRunReturnsOneOnlyThroughOk)
{
    BoxAnswerer boxes;
    enum class Answer { Ok, Cancel, Close } answer = Answer::Ok;
    boxes.dialogHandler = [&](QWidget *widget) {
        auto *dialog = qobject_cast<Dialog *>(widget);
        if (!dialog)
            return false;
        typeProfile(dialog, "Lab", { "10", "1", "2", "3" }, "secret");
        if (answer == Answer::Ok)
            QTest::mouseClick(button(dialog, "BtnOk"), Qt::LeftButton);
        else if (answer == Answer::Cancel)
            QTest::mouseClick(button(dialog, "BtnCancel"), Qt::LeftButton);
        else
            dialog->close();
        return true;
    };

    for (Answer a : { Answer::Ok, Answer::Cancel, Answer::Close }) {
        answer = a;
        Dialog dialog(nullptr);
        dialog.show();
        const int result = dialog.exec();
        EXPECT_EQ(result, a == Answer::Ok ? 1 : 0) << int(a);
        if (a == Answer::Ok) {
            EXPECT_EQ(dialog.getTitle(), "Lab");
            EXPECT_EQ(dialog.getIP(), "10.1.2.3");
            EXPECT_EQ(dialog.getPW(), "secret");
        }
    }
    EXPECT_TRUE(boxes.texts().isEmpty()) << "no validation message on a complete form";
}

TEST(DialogTest, FormMatchesTheLayout)
{
    Dialog dialog;
    EXPECT_EQ(dialog.objectName(), "Dialog");
    EXPECT_EQ(dialog.size(), QSize(350, 290));
    EXPECT_TRUE(dialog.font().bold());
    EXPECT_TRUE(dialog.windowTitle().isEmpty());

    struct
    {
        const char *name;
        const char *className;
        QRect geometry;
    } widgets[] = {
        { "label", "QLabel", { 50, 70, 101, 20 } },
        { "QLEditTitle", "QLineEdit", { 154, 70, 155, 23 } },
        { "label_2", "QLabel", { 50, 110, 51, 20 } },
        { "QLEditIP1", "QLineEdit", { 150, 110, 28, 23 } },
        { "label_3", "QLabel", { 50, 150, 111, 20 } },
        { "QLEditPW", "QLineEdit", { 154, 150, 155, 23 } },
        { "label_4", "QLabel", { 180, 110, 20, 20 } },
        { "label_5", "QLabel", { 224, 110, 20, 20 } },
        { "QLEditIP2", "QLineEdit", { 193, 110, 28, 23 } },
        { "label_6", "QLabel", { 268, 110, 20, 20 } },
        { "QLEditIP3", "QLineEdit", { 237, 110, 28, 23 } },
        { "QLEditIP4", "QLineEdit", { 280, 110, 28, 23 } },
        { "labelProfile", "QLabel", { 40, 30, 277, 20 } },
        { "BtnOk", "QPushButton", { 130, 210, 86, 30 } },
        { "BtnCancel", "QPushButton", { 230, 210, 86, 31 } },
    };
    const QObjectList children = dialog.children();
    int widgetIndex = 0;
    for (QObject *child : children) {
        auto *widget = qobject_cast<QWidget *>(child);
        if (!widget)
            continue;
        ASSERT_LT(widgetIndex, 15);
        const auto &expected = widgets[widgetIndex++];
        EXPECT_EQ(widget->objectName(), expected.name) << "creation order";
        EXPECT_STREQ(widget->metaObject()->className(), expected.className);
        EXPECT_EQ(widget->geometry(), expected.geometry) << expected.name;
    }
    EXPECT_EQ(widgetIndex, 15);

    for (const char *name : { "label", "label_2", "label_3" })
        EXPECT_EQ(dialog.findChild<QLabel *>(name)->font().pointSize(), 12) << name;
    for (const char *name : { "label_4", "label_5", "label_6" }) {
        auto *dot = dialog.findChild<QLabel *>(name);
        EXPECT_TRUE(Qt::mightBeRichText(dot->text()));
        EXPECT_TRUE(dot->text().contains("font-size:14pt; font-weight:600;\">.</span>"));
    }
    EXPECT_EQ(field(&dialog, "QLEditTitle")->maxLength(), 50);
    EXPECT_EQ(field(&dialog, "QLEditPW")->maxLength(), 65);
    EXPECT_EQ(field(&dialog, "QLEditPW")->echoMode(), QLineEdit::Password);
    for (const char *name : { "QLEditIP1", "QLEditIP2", "QLEditIP3", "QLEditIP4" }) {
        EXPECT_EQ(field(&dialog, name)->maxLength(), 3);
        EXPECT_EQ(int(field(&dialog, name)->inputMethodHints()), 0x10000);
    }

    // Tab order: follow the focus chain over the widgets that take the Tab key.
    QStringList order;
    QWidget *widget = field(&dialog, "QLEditTitle");
    do {
        if (widget->focusPolicy() & Qt::TabFocus)
            order << widget->objectName();
        widget = widget->nextInFocusChain();
    } while (widget != field(&dialog, "QLEditTitle") && order.size() < 20);
    EXPECT_EQ(order,
            QStringList({ "QLEditTitle", "QLEditIP1", "QLEditIP2", "QLEditIP3", "QLEditIP4",
                    "QLEditPW", "BtnOk", "BtnCancel" }));

    const QString okSheet = button(&dialog, "BtnOk")->styleSheet();
    EXPECT_TRUE(okSheet.contains("/ui/btn_ok.png")) << okSheet.toStdString();
    EXPECT_TRUE(okSheet.contains("/ui/btn_ok_down.png"));
    EXPECT_TRUE(button(&dialog, "BtnCancel")->styleSheet().contains("/ui/btn_cancel_over.png"));
}

} // namespace
