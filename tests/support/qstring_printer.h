#ifndef TANDEO_TESTS_UNITCMD_QSTRING_PRINTER_H
#define TANDEO_TESTS_UNITCMD_QSTRING_PRINTER_H

// Lets GoogleTest print QString values as text in failure messages.

#include <QString>

#include <ostream>

inline void PrintTo(const QString &text, std::ostream *out)
{
    *out << '"' << text.toStdString() << '"';
}

#endif // TANDEO_TESTS_UNITCMD_QSTRING_PRINTER_H
