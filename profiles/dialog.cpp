#include "dialog.h"

#include "skin.h"
#include "ui_dialog.h"

#include <QCoreApplication>
#include <QIntValidator>
#include <QMessageBox>

namespace {

// Qt's integer validator lets a number above the top through as "intermediate" while it has no
// more digits than the top itself (so 256 or 999 could be typed into an octet); an octet field
// must refuse anything above 255 outright, as the user types it.
class OctetValidator : public QIntValidator
{
public:
    explicit OctetValidator(QObject *parent) : QIntValidator(0, 255, parent) { }

    State validate(QString &input, int &pos) const override
    {
        const State state = QIntValidator::validate(input, pos);
        bool isNumber = false;
        const int value = input.toInt(&isNumber);
        if (state == Intermediate && isNumber && value > top())
            return Invalid;
        return state;
    }
};

} // namespace

Dialog::Dialog(QWidget *parent) : QDialog(parent), ui(new Ui::Dialog)
{
    ui->setupUi(this);

    // Each octet field takes 0 to 255 only; the form limits it to three characters.
    for (QLineEdit *octet : { ui->QLEditIP1, ui->QLEditIP2, ui->QLEditIP3, ui->QLEditIP4 })
        octet->setValidator(new OctetValidator(this));

    const QString appDir = QCoreApplication::applicationDirPath();
    ui->BtnOk->setStyleSheet(skin::dialogButtonStyleSheet(appDir, "btn_ok"));
    ui->BtnCancel->setStyleSheet(skin::dialogButtonStyleSheet(appDir, "btn_cancel"));
    connect(ui->BtnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

Dialog::~Dialog()
{
    delete ui;
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
    for (const QLineEdit *octet : { ui->QLEditIP1, ui->QLEditIP2, ui->QLEditIP3, ui->QLEditIP4 }) {
        if (octet->text().isEmpty()) {
            QMessageBox::information(this, "Warning", "Please fill in full IP address",
                    QMessageBox::Ok, QMessageBox::Ok);
            return;
        }
    }
    QDialog::accept();
}
