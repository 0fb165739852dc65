#ifndef TANDEO_TESTS_PROFILES_TYPING_H
#define TANDEO_TESTS_PROFILES_TYPING_H

// Types a text into a widget key by key, as a user does. QTest's own key clicks only know
// ASCII; other characters go as key events that carry their text (a surrogate pair as one).

#include <QString>
#include <QTest>
#include <QWidget>

namespace testprofiles {

inline void typeText(QWidget *widget, const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar ch = text.at(i);
        if (ch.unicode() >= 0x20 && ch.unicode() < 0x7f) {
            QTest::keyClick(widget, char(ch.unicode()));
            continue;
        }
        QString one(ch);
        if (ch.isHighSurrogate() && i + 1 < text.size())
            one += text.at(++i);
        QTest::sendKeyEvent(QTest::Press, widget, Qt::Key_unknown, one, Qt::NoModifier);
        QTest::sendKeyEvent(QTest::Release, widget, Qt::Key_unknown, one, Qt::NoModifier);
    }
}

} // namespace testprofiles

#endif // TANDEO_TESTS_PROFILES_TYPING_H
