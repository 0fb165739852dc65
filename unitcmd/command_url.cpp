#include "command_url.h"

#include "platform/net/ipv4_address.h"

namespace unitcmd {

namespace {

// Characters that a URL's path and query carry as they are: the unreserved ones and the
// delimiters. Everything else is percent-encoded.
bool keptReadable(unsigned char byte)
{
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z')
            || (byte >= '0' && byte <= '9'))
        return true;
    return QByteArrayView("-._~!$&'()*+,;=:@/?").contains(static_cast<char>(byte));
}

QString urlHead(const QString &storedAddress)
{
    return QStringLiteral("http://") + unitHost(storedAddress);
}

} // namespace

QString unitHost(const QString &storedAddress)
{
    if (const auto canonical = net::canonicalIpv4(storedAddress.toStdString()))
        return QString::fromStdString(*canonical);
    return storedAddress;
}

QByteArray encodeReadable(const QString &text)
{
    static constexpr char HexDigits[] = "0123456789ABCDEF";
    const QByteArray utf8 = text.toUtf8();
    QByteArray encoded;
    encoded.reserve(utf8.size() * 2);
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (keptReadable(byte)) {
            encoded.append(c);
        } else {
            encoded.append('%');
            encoded.append(HexDigits[byte >> 4]);
            encoded.append(HexDigits[byte & 0x0f]);
        }
    }
    return encoded;
}

CommandUrl loginUrl(Family family, const QString &storedAddress, const QString &document)
{
    const QString head = urlHead(storedAddress) + commandPath(family);
    const QByteArray encoded = head.toUtf8() + QUrl::toPercentEncoding(document);
    return { maskAccessCode(head + document), QUrl::fromEncoded(encoded) };
}

CommandUrl commandUrl(Family family, const QString &storedAddress, const QString &document)
{
    const QString head = urlHead(storedAddress);
    const QString tail = commandPath(family) + document;
    return { maskAccessCode(head + tail), QUrl::fromEncoded(head.toUtf8() + encodeReadable(tail)) };
}

} // namespace unitcmd
