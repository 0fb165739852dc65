#include "reply_readers.h"

#include <QDomDocument>
#include <QDomElement>

namespace unitcmd {

namespace {

constexpr qsizetype ZmtSessionOffset = 10; // session":"
constexpr qsizetype ZmtSessionLength = 4;
constexpr qsizetype ZmtErrnoOffset = 7; // errno":
constexpr qsizetype ZmtErrnoLength = 3;
constexpr qsizetype ZmtDataOffset = 7; // data":"
constexpr qsizetype ZmtDataLength = 8;

QDomDocument parseXml(const QByteArray &body)
{
    QDomDocument document;
    // A body that is not well-formed reads as an empty document ("nothing there"); Qt keeps
    // what it parsed before the error, which must not count.
    if (!document.setContent(body, true))
        return QDomDocument();
    return document;
}

QString zmtText(const QByteArray &body)
{
    const qsizetype end = body.indexOf('\0');
    return QString::fromLatin1(end < 0 ? body : body.left(end));
}

QString window(const QString &text, qsizetype from, qsizetype length)
{
    return from >= text.size() ? QString() : text.mid(from, length);
}

} // namespace

QmtLoginReply readQmtLoginReply(const QByteArray &body)
{
    const QDomElement root = parseXml(body).documentElement();
    return { root.attribute(QStringLiteral("session")), root.attribute(QStringLiteral("code")) };
}

ZmtLoginReply readZmtLoginReply(const QByteArray &body)
{
    ZmtLoginReply reply;
    reply.text = zmtText(body);
    reply.sessionIndex = reply.text.indexOf(QLatin1String("session"));
    if (reply.sessionIndex >= 0)
        reply.session = window(reply.text, reply.sessionIndex + ZmtSessionOffset, ZmtSessionLength);
    reply.errnoIndex = reply.text.indexOf(QLatin1String("errno"));
    if (reply.errnoIndex >= 0)
        reply.errorCode = window(reply.text, reply.errnoIndex + ZmtErrnoOffset, ZmtErrnoLength);
    return reply;
}

std::optional<QString> readQmtFirmwareVersion(const QByteArray &body)
{
    const QDomNode data = parseXml(body).documentElement().firstChild().firstChild();
    if (!data.isElement() || data.nodeName() != QLatin1String("data"))
        return std::nullopt;
    return data.firstChild().toCharacterData().data();
}

std::optional<QString> readZmtFirmwareWindow(const QByteArray &body)
{
    const QString text = zmtText(body);
    const qsizetype index = text.indexOf(QLatin1String("data"));
    if (index < 0)
        return std::nullopt;
    return window(text, index + ZmtDataOffset, ZmtDataLength);
}

} // namespace unitcmd
