#include "firmware_rules.h"

namespace unitcmd {

namespace {

int numberOf(const QString &text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? value : 0;
}

// The text from character `from` (0-based) on, without the `skip` characters that follow its
// first two.
QString cut(const QString &text, qsizetype from, qsizetype skip)
{
    QString piece = text.mid(from);
    piece.remove(2, skip);
    return piece;
}

} // namespace

QmtFirmwareNumbers qmtFirmwareNumbers(const QString &versionText)
{
    QmtFirmwareNumbers numbers;
    numbers.majorText = cut(versionText, 6, 13);
    numbers.minorText = cut(versionText, 9, 10);
    numbers.major = numberOf(numbers.majorText);
    numbers.minor = numberOf(numbers.minorText);
    return numbers;
}

bool qmtFirmwareSupported(const QString &versionText)
{
    const QmtFirmwareNumbers numbers = qmtFirmwareNumbers(versionText);
    if (numbers.major == 2)
        return numbers.minor > 98;
    return numbers.major > 1;
}

ZmtFirmwareNumbers zmtFirmwareNumbers(const QString &window)
{
    ZmtFirmwareNumbers numbers;
    numbers.mainText = window.mid(3, 2);
    numbers.childText = window.mid(6, 2);
    numbers.main = numberOf(numbers.mainText);
    numbers.child = numberOf(numbers.childText);
    return numbers;
}

bool zmtFirmwareSupported(const QString &window)
{
    const ZmtFirmwareNumbers numbers = zmtFirmwareNumbers(window);
    return !(numbers.main > 0 && numbers.child < 8);
}

} // namespace unitcmd
