#include "reply_limit.h"

#include "unitcmd_log.h"

#include <QNetworkReply>
#include <QVariant>

namespace unitcmd {

namespace {

const char *const CutOffProperty = "unitcmd.replyCutOff";

// A cut-off reply must read as one without an HTTP answer. The status Qt stored from the head
// is an attribute only the reply itself may change; the pointer to its setter is taken through
// a class derived from it, which the language allows.
struct ReplyAttributes : QNetworkReply
{
    static void forget(QNetworkReply *reply, QNetworkRequest::Attribute attribute)
    {
        const auto setAttribute = &ReplyAttributes::setAttribute;
        (reply->*setAttribute)(attribute, QVariant());
    }
};

void cutOff(QNetworkReply *reply, qint64 announced)
{
    qCDebug(lcUnitCmd) << "reply cut off:" << reply->bytesAvailable() << "bytes held," << announced
                       << "announced";
    reply->setProperty(CutOffProperty, true);
    ReplyAttributes::forget(reply, QNetworkRequest::HttpStatusCodeAttribute);
    ReplyAttributes::forget(reply, QNetworkRequest::HttpReasonPhraseAttribute);
    reply->abort(); // emits finished() now, and the reply's manager delivers it
}

} // namespace

void limitReplyBody(QNetworkReply *reply, qint64 maxBytes)
{
    // One byte more than the bound may be buffered, so a body that passes it can be told apart
    // from one that just fits.
    reply->setReadBufferSize(maxBytes + 1);
    const auto check = [reply, maxBytes] {
        if (reply->isFinished() || replyCutOff(reply))
            return;
        bool known = false;
        const qint64 announced =
                reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&known);
        if ((known && announced > maxBytes) || reply->bytesAvailable() > maxBytes)
            cutOff(reply, known ? announced : -1);
    };
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, check);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, check);
}

bool replyCutOff(const QNetworkReply *reply)
{
    return reply->property(CutOffProperty).toBool();
}

std::optional<QByteArray> takeReplyBody(QNetworkReply *reply)
{
    if (replyCutOff(reply))
        return std::nullopt;
    QByteArray body = reply->read(MaxReplyBodyBytes + 1);
    if (body.size() > MaxReplyBodyBytes)
        return std::nullopt;
    return body;
}

} // namespace unitcmd
