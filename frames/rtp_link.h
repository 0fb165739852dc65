#ifndef TANDEO_FRAMES_RTP_LINK_H
#define TANDEO_FRAMES_RTP_LINK_H

// Where the pictures of one login go: the unit's address, the host's own address on the route
// there, port 50001 at both ends, and the SSRC taken from the session id. All of it is
// resolved once when the link is made; the RTP session opens with the first picture and is
// released with the link (at logout).

#include <QByteArray>
#include <QString>

#include <cstdint>

struct _ZelRtpSession;

namespace frames {

class RtpLink
{
public:
    static constexpr int RtpPort = 50001;
    static constexpr int FrameRate = 5;

    // storedUnitAddress as a profile keeps it: padded octets ("127.000.000.071") are decimal.
    RtpLink(const QString &storedUnitAddress, const QString &sessionId);
    ~RtpLink(); // releases the RTP session (exitSession, exitRtp) when one was opened
    RtpLink(const RtpLink &) = delete;
    RtpLink &operator=(const RtpLink &) = delete;

    QString unitAddress() const { return m_unitAddress; }
    QString localAddress() const { return m_localAddress; }
    std::uint32_t ssrc() const { return m_ssrc; }
    _ZelRtpSession *session() const { return m_session; }

    // The RTP session the pictures go through, opened on first use; null without a local or a
    // unit address, or when it cannot be opened (tried again with the next picture). Every
    // picture is announced as 1024 x 768 in its payload header, whatever its own size: units
    // take the real size from MSG_CONNECT and from the JPEG itself, and rely on these bytes.
    _ZelRtpSession *open();

private:
    QString m_unitAddress;
    QString m_localAddress;
    std::uint32_t m_ssrc = 0;
    _ZelRtpSession *m_session = nullptr;
};

// The session id's first four bytes read as a little-endian number; a shorter id counts the
// missing bytes as zero.
std::uint32_t ssrcFromSession(const QString &sessionId);

} // namespace frames

#endif // TANDEO_FRAMES_RTP_LINK_H
