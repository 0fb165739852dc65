#ifndef TANDEO_STANDIN_PORTAL_TYPES_H
#define TANDEO_STANDIN_PORTAL_TYPES_H

// The screen-cast portal's structured D-Bus values, for Qt D-Bus: the streams a Start
// answers with, a(ua{sv}), and the (ii) pairs in their properties (size, position).

#include <QDBusArgument>
#include <QList>
#include <QMetaType>
#include <QVariantMap>

namespace standin {

struct IntPair // (ii)
{
    int first = 0;
    int second = 0;
};

struct StreamDescription // (ua{sv})
{
    uint nodeId = 0; // the PipeWire node to link to
    QVariantMap properties; // size (ii), position (ii), source_type u
};

inline QDBusArgument &operator<<(QDBusArgument &argument, const IntPair &pair)
{
    argument.beginStructure();
    argument << pair.first << pair.second;
    argument.endStructure();
    return argument;
}

inline const QDBusArgument &operator>>(const QDBusArgument &argument, IntPair &pair)
{
    argument.beginStructure();
    argument >> pair.first >> pair.second;
    argument.endStructure();
    return argument;
}

inline QDBusArgument &operator<<(QDBusArgument &argument, const StreamDescription &stream)
{
    argument.beginStructure();
    argument << stream.nodeId << stream.properties;
    argument.endStructure();
    return argument;
}

inline const QDBusArgument &operator>>(const QDBusArgument &argument, StreamDescription &stream)
{
    argument.beginStructure();
    argument >> stream.nodeId >> stream.properties;
    argument.endStructure();
    return argument;
}

// Registers the types above with Qt D-Bus; call once before the first message.
void registerPortalTypes();

} // namespace standin

Q_DECLARE_METATYPE(standin::IntPair)
Q_DECLARE_METATYPE(standin::StreamDescription)

#endif // TANDEO_STANDIN_PORTAL_TYPES_H
