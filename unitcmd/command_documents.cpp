#include "command_documents.h"

namespace unitcmd {

namespace {

// The login's XML declaration says version "1" with one blank before standalone; the session
// commands say "1.0" with three. Units of the field accept exactly these, so both stay.
constexpr char QmtLoginHead[] =
        R"(<?xml version="1" encoding="utf-8" standalone="yes"?> <VC device=")";
constexpr char QmtSessionHead[] =
        R"(<?xml version="1.0" encoding="utf-8"   standalone="yes"?> <VC device=")";
constexpr char QmtAfterDevice[] = R"(" version="1.0" )";

// Where the access code of each login document starts and what follows it to the end.
constexpr char QmtCodeOpening[] = R"(acccode=")";
constexpr char QmtLoginTail[] = R"(" />)";
constexpr char ZmtCodeOpening[] = R"("acccode":")";
constexpr char ZmtLoginTail[] = R"("}, {"cmd":"nop"} ])";

constexpr char ZmtHead[] = R"([ {"cmd":"login", "device":")";
constexpr char ZmtAfterDevice[] = R"(", "version":"2.0", )";

QString qmtTail(SessionCommand command)
{
    switch (command) {
    case SessionCommand::Firmware:
        return QStringLiteral(R"("><get id="1" object="System/FirmwareVersion" /><nop/></VC>)");
    case SessionCommand::KeepAlive:
        return QStringLiteral(R"("><nop/></VC>)");
    case SessionCommand::Logout:
        return QStringLiteral(R"("><logout/></VC>)");
    }
    return {};
}

QString zmtTail(SessionCommand command)
{
    switch (command) {
    case SessionCommand::Firmware:
        return QStringLiteral(
                R"("}, {"cmd":"get", "id":"1", "object":"System/FirmwareVersion"} ])");
    case SessionCommand::KeepAlive:
        return QStringLiteral(R"("}, {"cmd":"nop"} ])");
    case SessionCommand::Logout:
        return QStringLiteral(R"("}, {"cmd":"logout"} ])");
    }
    return {};
}

} // namespace

QString escapeAccessCode(const QString &accessCode)
{
    QString escaped = accessCode;
    escaped.replace(QLatin1Char('&'), QStringLiteral("&amp;"), Qt::CaseSensitive);
    return escaped;
}

QString commandPath(Family family)
{
    return family == Family::Qmt ? QStringLiteral("/cgi-bin/doxml.cgi?xmldoc=")
                                 : QStringLiteral("/docmd?jdoc=");
}

QString loginDocument(Family family, const QString &device, const QString &escapedCode)
{
    if (family == Family::Qmt)
        return QLatin1String(QmtLoginHead) + device + QLatin1String(QmtAfterDevice)
                + QLatin1String(QmtCodeOpening) + escapedCode + QLatin1String(QmtLoginTail);
    return QLatin1String(ZmtHead) + device + QLatin1String(ZmtAfterDevice)
            + QLatin1String(ZmtCodeOpening) + escapedCode + QLatin1String(ZmtLoginTail);
}

QString sessionDocument(
        Family family, SessionCommand command, const QString &device, const QString &sessionId)
{
    if (family == Family::Qmt)
        return QLatin1String(QmtSessionHead) + device + QLatin1String(QmtAfterDevice)
                + QStringLiteral(R"(session=")") + sessionId + qmtTail(command);
    return QLatin1String(ZmtHead) + device + QLatin1String(ZmtAfterDevice)
            + QStringLiteral(R"("session":")") + sessionId + zmtTail(command);
}

QString maskAccessCode(const QString &text)
{
    // The earliest opening is the real one: a code may itself hold the other dialect's opening,
    // and only a device name could put one before it (then more is masked, never less).
    const qsizetype qmt = text.indexOf(QLatin1String(QmtCodeOpening));
    const qsizetype zmt = text.indexOf(QLatin1String(ZmtCodeOpening));
    if (qmt < 0 && zmt < 0)
        return text;
    const bool isZmt = zmt >= 0 && (qmt < 0 || zmt < qmt);
    const QLatin1String opening(isZmt ? ZmtCodeOpening : QmtCodeOpening);
    const QLatin1String tail(isZmt ? ZmtLoginTail : QmtLoginTail);
    const qsizetype codeAt = (isZmt ? zmt : qmt) + opening.size();
    qsizetype codeEnd = text.lastIndexOf(tail);
    if (codeEnd < codeAt)
        codeEnd = text.size();
    if (codeEnd == codeAt)
        return text;
    return text.left(codeAt) + QStringLiteral("****") + text.mid(codeEnd);
}

} // namespace unitcmd
