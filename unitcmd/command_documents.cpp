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
                + QStringLiteral(R"(acccode=")") + escapedCode + QStringLiteral(R"(" />)");
    return QLatin1String(ZmtHead) + device + QLatin1String(ZmtAfterDevice)
            + QStringLiteral(R"("acccode":")") + escapedCode
            + QStringLiteral(R"("}, {"cmd":"nop"} ])");
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

} // namespace unitcmd
