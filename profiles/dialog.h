#ifndef TANDEO_PROFILES_DIALOG_H
#define TANDEO_PROFILES_DIALOG_H

// The profile editor: a title, the unit's IPv4 address as four octet fields and the access
// code. It only checks that the title is filled in and that each octet field holds one to three
// ASCII digits of at most 255; it never touches the profile database. The add and edit flows create
// it per use, run it with exec() and read the values back when it was accepted. GUI thread only.

#include <QDialog>
#include <QString>

#include <array>

class QLineEdit;

namespace Ui {
class Dialog;
}

class Dialog : public QDialog
{
    Q_OBJECT

public:
    explicit Dialog(QWidget *parent = nullptr);
    ~Dialog() override;

    QString getTitle() const;
    // The four octet fields joined by ".", as typed: no trimming, leading zeros kept.
    QString getIP() const;
    QString getPW() const;

    // Fills the fields with a stored profile. The address is split at "." into the octet fields
    // in order; a stored address of fewer than four parts leaves the remaining fields empty (so
    // OK asks for the full address), and parts beyond the fourth are not shown.
    void setProfile(const QString &title, const QString &ip, const QString &pw);

public slots:
    // Accepts only with a title and all four octets; otherwise says what is missing and stays.
    void on_BtnOk_clicked();

protected:
    // "." in an octet field moves on to the next one.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    std::array<QLineEdit *, 4> octetFields() const;
    static void moveToField(QLineEdit *field);

    QLineEdit *advancedTo = nullptr; // the field a third digit just moved to, until its first key

    Ui::Dialog *ui = nullptr;
};

#endif // TANDEO_PROFILES_DIALOG_H
