#include "dialog.h"

#include "light_palette.h"
#include "sharp_pictures.h"
#include "skin.h"
#include "ui_dialog.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QValidator>

#include <algorithm>
#include <utility>

namespace {

// One to three ASCII digits of at most 255: the unit's address is a numeric address, so Qt's
// integer reading (signs, group separators, other scripts' digits) has no place here. Leading
// zeros stay, as stored files have them; they are read in decimal.
bool isOctet(const QString &text)
{
    if (text.isEmpty() || text.size() > 3)
        return false;
    int value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + (c.unicode() - '0');
    }
    return value <= 255;
}

// Refuses every key that would not leave an octet or the start of one, as the user types it.
class OctetValidator : public QValidator
{
public:
    using QValidator::QValidator;

    State validate(QString &input, int &) const override
    {
        if (input.isEmpty())
            return Intermediate;
        return isOctet(input) ? Acceptable : Invalid;
    }
};

} // namespace

Dialog::Dialog(QWidget *parent) : QDialog(parent), ui(new Ui::Dialog)
{
    ui->setupUi(this);
    skin::keepLightPalette(this); // before the style sheets, which start from it

    // Each octet field takes 0 to 255 only; the form limits it to three characters. A "." or
    // a third digit goes on to the next field, so a whole address can be typed in one go.
    const std::array<QLineEdit *, 4> octets = octetFields();
    for (std::size_t i = 0; i < octets.size(); ++i) {
        octets[i]->setValidator(new OctetValidator(this));
        octets[i]->installEventFilter(this);
        if (i + 1 < octets.size()) {
            QLineEdit *next = octets[i + 1];
            connect(octets[i], &QLineEdit::textEdited, this, [this, field = octets[i], next] {
                if (field->text().size() == 3 && field->cursorPosition() == 3) {
                    moveToField(next);
                    advancedTo = next;
                }
            });
        }
    }

    const QString appDir = QCoreApplication::applicationDirPath();
    ui->BtnOk->setStyleSheet(skin::dialogButtonStyleSheet(appDir, "btn_ok"));
    ui->BtnCancel->setStyleSheet(skin::dialogButtonStyleSheet(appDir, "btn_cancel"));
    skin::showSharpPicture(ui->labelProfile, ":/new/prefix1/ui/t_connection_profile.png");
    connect(ui->BtnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

Dialog::~Dialog()
{
    delete ui;
}

std::array<QLineEdit *, 4> Dialog::octetFields() const
{
    return { ui->QLEditIP1, ui->QLEditIP2, ui->QLEditIP3, ui->QLEditIP4 };
}

void Dialog::moveToField(QLineEdit *field)
{
    field->setFocus(Qt::TabFocusReason);
    field->selectAll();
}

bool Dialog::eventFilter(QObject *watched, QEvent *event)
{
    const std::array<QLineEdit *, 4> octets = octetFields();
    const auto at = std::find(octets.begin(), octets.end(), watched);
    if (event->type() != QEvent::KeyPress || at == octets.end())
        return QDialog::eventFilter(watched, event);

    // The first key in a field that a third digit moved to: a "." there is the one the user
    // typed after those digits, and the field must not be left again for it.
    const bool afterThirdDigit = std::exchange(advancedTo, nullptr) == watched;
    // The keypad's decimal key gives "," on many layouts (German, French, ...): there it is
    // the dot the user means, where it went nowhere and the next digits joined the field.
    const QString text = static_cast<QKeyEvent *>(event)->text();
    if (text != QLatin1String(".") && text != QLatin1String(","))
        return QDialog::eventFilter(watched, event);
    // "." ends a field that holds something and is never typed into one.
    if (!afterThirdDigit && !(*at)->text().isEmpty() && at + 1 != octets.end())
        moveToField(*(at + 1));
    return true;
}

QString Dialog::getTitle() const
{
    return ui->QLEditTitle->text();
}

QString Dialog::getIP() const
{
    return ui->QLEditIP1->text() + "." + ui->QLEditIP2->text() + "." + ui->QLEditIP3->text() + "."
            + ui->QLEditIP4->text();
}

QString Dialog::getPW() const
{
    return ui->QLEditPW->text();
}

void Dialog::setProfile(const QString &title, const QString &ip, const QString &pw)
{
    ui->QLEditTitle->setText(title);
    ui->QLEditPW->setText(pw);
    const QStringList parts = ip.split('.', Qt::KeepEmptyParts, Qt::CaseSensitive);
    QLineEdit *const octets[] = { ui->QLEditIP1, ui->QLEditIP2, ui->QLEditIP3, ui->QLEditIP4 };
    for (int i = 0; i < 4; ++i)
        octets[i]->setText(i < parts.size() ? parts.at(i) : QString());
}

void Dialog::on_BtnOk_clicked()
{
    if (ui->QLEditTitle->text().isEmpty()) {
        QMessageBox::information(
                this, "Warning", "Please fill in profile title", QMessageBox::Ok, QMessageBox::Ok);
        return;
    }
    // A stored address reaches the fields without the validator: each is checked again here.
    for (const QLineEdit *octet : octetFields()) {
        if (!isOctet(octet->text())) {
            QMessageBox::information(this, "Warning", "Please fill in full IP address",
                    QMessageBox::Ok, QMessageBox::Ok);
            return;
        }
    }
    QDialog::accept();
}
