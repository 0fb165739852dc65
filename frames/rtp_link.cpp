#include "rtp_link.h"

#include "ipv4_address.h"
#include "route.h"
#include "zelrtp.h"

#include <QHostAddress>
#include <QLoggingCategory>
#include <QNetworkInterface>

Q_LOGGING_CATEGORY(lcRtpLink, "tandeo.share.rtp")

namespace frames {

namespace {

QString unitAddressText(const QString &stored)
{
    if (const auto canonical = net::canonicalIpv4(stored.trimmed().toStdString()))
        return QString::fromStdString(*canonical);
    return stored;
}

// The first address of the host's list, as a last resort when no route could be asked for.
QString firstInterfaceAddress()
{
    const QList<QHostAddress> all = QNetworkInterface::allAddresses();
    return all.isEmpty() ? QString() : all.first().toString();
}

} // namespace

std::uint32_t ssrcFromSession(const QString &sessionId)
{
    const QByteArray bytes = sessionId.toUtf8();
    std::uint32_t ssrc = 0;
    for (int i = 0; i < 4 && i < bytes.size(); ++i)
        ssrc |= std::uint32_t(std::uint8_t(bytes[i])) << (8 * i);
    return ssrc;
}

RtpLink::RtpLink(const QString &storedUnitAddress, const QString &sessionId)
    : m_unitAddress(unitAddressText(storedUnitAddress)),
      m_ssrc(ssrcFromSession(sessionId))
{
    if (const auto local = net::localAddressTowards(m_unitAddress.toStdString(), RtpPort))
        m_localAddress = QString::fromStdString(*local);
    else
        m_localAddress = firstInterfaceAddress();
    qCDebug(lcRtpLink) << "pictures go from" << m_localAddress << "to" << m_unitAddress;
}

RtpLink::~RtpLink()
{
    if (m_session) {
        exitSession(m_session);
        exitRtp();
    }
}

_ZelRtpSession *RtpLink::open()
{
    if (m_localAddress.isEmpty() || m_unitAddress.isEmpty())
        return nullptr;
    if (!m_session) {
        initRtp();
        m_session = initSession(m_localAddress.toLatin1().constData(), RtpPort,
                m_unitAddress.toLatin1().constData(), RtpPort, FrameRate, m_ssrc);
        if (!m_session) {
            qCWarning(lcRtpLink) << "no RTP session towards" << m_unitAddress;
            exitRtp();
        }
    }
    return m_session;
}

} // namespace frames
