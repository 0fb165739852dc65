// The windows as a screen reader sees them, through Qt's accessibility interfaces: one walk over
// each window (main window on both pages, profile editor, message box) finds every visible
// control a user can act on with a name and the right role, the labels tied to their fields, the
// access code hidden, and the id list absent.

#include "mainwindow.h"
#include "mainwindow_probe.h"
#include "profile_window.h"
#include "test_support.h"

#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>
#include <map>

using namespace testsupport;

namespace {

struct Exposed
{
    QAccessible::Role role;
    QString name;
    QString description;
    bool visible;
};

// Every widget below `root` in the accessibility tree, by object name.
std::map<QString, Exposed> walk(QWidget *root)
{
    std::map<QString, Exposed> found;
    std::function<void(QAccessibleInterface *)> visit = [&](QAccessibleInterface *node) {
        if (auto *widget = qobject_cast<QWidget *>(node->object())) {
            found[widget->objectName()] = { node->role(), node->text(QAccessible::Name),
                node->text(QAccessible::Description), !node->state().invisible };
        }
        for (int i = 0; i < node->childCount(); ++i) {
            if (QAccessibleInterface *child = node->child(i))
                visit(child);
        }
    };
    visit(QAccessible::queryAccessibleInterface(root));
    return found;
}

// Each visible control a user acts on has a name; every expected role and name is there.
void checkWindow(
        QWidget *root, const std::map<QString, std::pair<QAccessible::Role, QString>> &expected)
{
    static const QList<QAccessible::Role> acting = { QAccessible::PushButton,
        QAccessible::RadioButton, QAccessible::CheckBox, QAccessible::EditableText,
        QAccessible::List, QAccessible::ComboBox };
    const std::map<QString, Exposed> found = walk(root);
    for (const auto &[objectName, node] : found) {
        if (node.visible && acting.contains(node.role)) {
            EXPECT_FALSE(node.name.trimmed().isEmpty()) << qPrintable(objectName) << " has no name";
        }
    }
    for (const auto &[objectName, roleAndName] : expected) {
        const auto it = found.find(objectName);
        ASSERT_NE(it, found.end()) << qPrintable(objectName);
        EXPECT_TRUE(it->second.visible) << qPrintable(objectName);
        EXPECT_EQ(it->second.role, roleAndName.first) << qPrintable(objectName);
        EXPECT_EQ(it->second.name, roleAndName.second) << qPrintable(objectName);
    }
    EXPECT_EQ(found.count("listViewForID"), 0u);
    const QString rootName = QAccessible::queryAccessibleInterface(root)->text(QAccessible::Name);
    EXPECT_FALSE(rootName.trimmed().isEmpty()) << qPrintable(root->objectName());
}

void checkEditor(QWidget *editor)
{
    using R = QAccessible::Role;
    auto *code = editor->findChild<QLineEdit *>("QLEditPW");
    code->setText("secret-code");
    checkWindow(editor,
            { { "QLEditTitle", { R::EditableText, "Profile title" } },
                    { "QLEditIP1", { R::EditableText, "IP address, part 1 of 4" } },
                    { "QLEditIP2", { R::EditableText, "IP address, part 2 of 4" } },
                    { "QLEditIP3", { R::EditableText, "IP address, part 3 of 4" } },
                    { "QLEditIP4", { R::EditableText, "IP address, part 4 of 4" } },
                    { "QLEditPW", { R::EditableText, "Access code" } },
                    { "BtnOk", { R::PushButton, "OK" } },
                    { "BtnCancel", { R::PushButton, "Cancel" } } });

    // The code reads as hidden, and each field is labelled by the text beside it.
    QAccessibleInterface *codeNode = QAccessible::queryAccessibleInterface(code);
    EXPECT_TRUE(codeNode->state().passwordEdit);
    EXPECT_FALSE(codeNode->text(QAccessible::Value).contains("secret"));
    ASSERT_TRUE(codeNode->textInterface());
    EXPECT_FALSE(codeNode->textInterface()->text(0, 11).contains("secret"));
    const std::pair<const char *, const char *> labelled[] = { { "QLEditTitle", "label" },
        { "QLEditIP1", "label_2" }, { "QLEditPW", "label_3" } };
    for (const auto &[field, label] : labelled) {
        const auto relations =
                QAccessible::queryAccessibleInterface(editor->findChild<QWidget *>(field))
                        ->relations(QAccessible::Label);
        ASSERT_EQ(relations.size(), 1) << field;
        EXPECT_EQ(relations.first().first->object()->objectName(), label);
    }
}

class AccessibilityTest : public ::testing::Test, protected ProfileWindow
{
};

TEST_F(AccessibilityTest, MainWindowPages)
{
    using R = QAccessible::Role;
    checkWindow(&window,
            { { "listViewProfile", { R::List, "Connection profiles" } },
                    { "BtnAdd", { R::PushButton, "Add profile" } },
                    { "BtnDel", { R::PushButton, "Delete profile" } },
                    { "BtnEdit", { R::PushButton, "Edit profile" } },
                    { "BtnLogin", { R::PushButton, "Log in" } } });
    EXPECT_FALSE(walk(&window)["BtnLogin"].description.isEmpty());

    window.hideLoginPage();
    window.showSharePage();
    checkWindow(&window,
            { { "QRadioBtnDesktop", { R::RadioButton, "Desktop" } },
                    { "BtnShare", { R::PushButton, "Share" } },
                    { "BtnStop", { R::PushButton, "Stop sharing" } },
                    { "BtnLogout", { R::PushButton, "Log out" } } });
}

TEST_F(AccessibilityTest, ProfileEditorAndItsWarning)
{
    using R = QAccessible::Role;
    BoxAnswerer answerer;
    bool walked = false;
    answerer.onBox = [&](const SeenBox &) {
        for (QWidget *top : QApplication::topLevelWidgets()) {
            if (auto *box = qobject_cast<QMessageBox *>(top); box && box->isVisible())
                checkWindow(box, { { "qt_msgbox_label", { R::StaticText, box->text() } } });
        }
        const auto found = walk(QApplication::activeModalWidget());
        const auto ok = std::find_if(found.begin(), found.end(),
                [](const auto &entry) { return entry.second.role == QAccessible::PushButton; });
        ASSERT_NE(ok, found.end());
        EXPECT_EQ(ok->second.name, "OK");
    };
    answerer.dialogHandler = [&](QWidget *editor) {
        if (walked) // left open until its warning came, then rejected by the answerer
            return answerer.boxes().isEmpty();
        walked = true;
        checkEditor(editor);
        // The title is missing: a warning, after this answer (the answerer's timer does not
        // fire inside itself).
        QTimer::singleShot(0, editor->findChild<QPushButton *>("BtnOk"), &QPushButton::click);
        return true;
    };
    probe.widget<QPushButton>("BtnAdd")->click();
    EXPECT_TRUE(walked);
    EXPECT_EQ(answerer.texts(), QStringList({ "Please fill in profile title", QString() }));
}

} // namespace
