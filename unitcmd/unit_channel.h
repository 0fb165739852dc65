#ifndef TANDEO_UNITCMD_UNIT_CHANNEL_H
#define TANDEO_UNITCMD_UNIT_CHANNEL_H

// A network channel for the unit's commands. The unit sits in the same local network and the
// login URL carries its access code, so its requests never go through a proxy, whatever the
// desktop's proxy settings (http_proxy and friends) say: a proxy could neither reach the unit
// nor be trusted with the code. GUI thread.

class QNetworkAccessManager;
class QObject;

namespace unitcmd {

// A new channel owned by parent that talks to the unit directly.
QNetworkAccessManager *newUnitChannel(QObject *parent);

} // namespace unitcmd

#endif // TANDEO_UNITCMD_UNIT_CHANNEL_H
