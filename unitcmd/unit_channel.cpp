#include "unit_channel.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>

namespace unitcmd {

QNetworkAccessManager *newUnitChannel(QObject *parent)
{
    auto *channel = new QNetworkAccessManager(parent);
    // A proxy set on the channel itself takes the place of the application's proxy factory,
    // which is where the environment's settings come in.
    channel->setProxy(QNetworkProxy::NoProxy);
    return channel;
}

} // namespace unitcmd
