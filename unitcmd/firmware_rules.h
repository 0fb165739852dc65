#ifndef TANDEO_UNITCMD_FIRMWARE_RULES_H
#define TANDEO_UNITCMD_FIRMWARE_RULES_H

// Which firmware can take a shared picture. Each family writes its version differently, and
// the numbers are cut out of fixed character positions (counted from 1 below). Every number is
// the base-10 value of its text (surrounding blanks and a leading sign allowed); a text that
// does not convert counts as 0.

#include <QString>

namespace unitcmd {

// QMT, from the version text of the "data" element. Major: characters 7-8 followed by
// everything from character 22 on; minor: characters 10-11 followed by the same rest. So a
// text of 21 characters or fewer gives two-digit numbers, and any longer text makes both
// numbers carry its tail.
struct QmtFirmwareNumbers
{
    QString majorText;
    QString minorText;
    int major = 0;
    int minor = 0;
};

QmtFirmwareNumbers qmtFirmwareNumbers(const QString &versionText);

// Not supported: major 2 with minor at most 98, or any other major at most 1.
bool qmtFirmwareSupported(const QString &versionText);

// ZMT, from the 8-character version window. Main version: characters 4-5; child version:
// characters 7-8.
struct ZmtFirmwareNumbers
{
    QString mainText;
    QString childText;
    int main = 0;
    int child = 0;
};

ZmtFirmwareNumbers zmtFirmwareNumbers(const QString &window);

// Not supported: main version above 0 with child version below 8.
bool zmtFirmwareSupported(const QString &window);

} // namespace unitcmd

#endif // TANDEO_UNITCMD_FIRMWARE_RULES_H
