#include "firmware_rules.h"
#include "fuzz_check.h"
#include "fuzz_entries.h"

#include <QString>

#include <cstring>
#include <vector>

namespace unitcmd {

namespace {

// Digits only, few enough to fit an int: the number must be their decimal value.
bool plainNumber(const QString &text, int &value)
{
    if (text.isEmpty() || text.size() > 9)
        return false;
    value = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        value = value * 10 + (c.unicode() - '0');
    }
    return true;
}

void checkNumber(const QString &text, int number)
{
    int expected = 0;
    if (plainNumber(text, expected))
        FUZZ_CHECK(number == expected);
}

void checkVersionText(const QString &text)
{
    // QMT: characters 7-8 and 10-11, each followed by everything from character 22 on.
    const QmtFirmwareNumbers qmt = qmtFirmwareNumbers(text);
    FUZZ_CHECK(qmt.majorText == text.mid(6, 2) + text.mid(21));
    FUZZ_CHECK(qmt.minorText == text.mid(9, 2) + text.mid(21));
    checkNumber(qmt.majorText, qmt.major);
    checkNumber(qmt.minorText, qmt.minor);
    FUZZ_CHECK(qmtFirmwareSupported(text) == (qmt.major == 2 ? qmt.minor > 98 : qmt.major > 1));

    // ZMT: two characters each, so the numbers stay within -9 and 99.
    const QString window = text.left(8);
    const ZmtFirmwareNumbers zmt = zmtFirmwareNumbers(window);
    FUZZ_CHECK(zmt.mainText == window.mid(3, 2) && zmt.childText == window.mid(6, 2));
    FUZZ_CHECK(zmt.main >= -9 && zmt.main <= 99 && zmt.child >= -9 && zmt.child <= 99);
    checkNumber(zmt.mainText, zmt.main);
    checkNumber(zmt.childText, zmt.child);
    FUZZ_CHECK(zmtFirmwareSupported(window) == !(zmt.main > 0 && zmt.child < 8));
}

} // namespace

void fuzzFirmwareRules(const std::uint8_t *data, std::size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    checkVersionText(QString::fromUtf8(bytes, qsizetype(size)));
    checkVersionText(QString::fromLatin1(bytes, qsizetype(size)));
    // Copied first: the input need not be aligned for 16-bit units.
    std::vector<char16_t> units(size / 2);
    if (!units.empty())
        std::memcpy(units.data(), data, units.size() * sizeof(char16_t));
    checkVersionText(QString::fromUtf16(units.data(), qsizetype(units.size())));
}

} // namespace unitcmd
