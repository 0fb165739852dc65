#ifndef TANDEO_STANDIN_SCREENCAST_PORTAL_H
#define TANDEO_STANDIN_SCREENCAST_PORTAL_H

// The stand-in screen-cast portal on the session bus: org.freedesktop.portal.ScreenCast
// (version 4) at /org/freedesktop/portal/desktop, its Request and Session objects, and the
// test controls org.tandeo.PortalStandin at /org/tandeo/PortalStandin.
//
// Only the portal's back-end is stood in: there is no chooser and no compositor behind it,
// the "user" answers as the command line says, and the shared screen is a known picture.
// The D-Bus calls, the PipeWire stream and its buffers are real. Everything runs on the main
// thread.

#include "event_record.h"
#include "standin_stream.h"
#include "token_store.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QPointer>
#include <QVariantMap>

#include <map>
#include <memory>

namespace standin {

enum class Answer { Grant, Cancel };

enum SourceType : uint { Monitor = 1, Window = 2 };
enum CursorMode : uint { Hidden = 1, Embedded = 2, Metadata = 4 };

struct PortalSettings
{
    Answer answer = Answer::Grant;
    uint sourceTypes = Monitor;
    uint cursorModes = Hidden | Embedded;
    int width = 1280;
    int height = 720;
    int removeNodeAfterFrames = 0; // 0: the node stays
    int answerAfterMs = 0; // how long the user takes over the dialog of every Start
    QString pictureFile; // shown instead of the quadrants when set and readable
};

// The portal's answer codes on the Request's Response signal.
enum class Response : uint { Success = 0, Cancelled = 1, Ended = 2 };

class PortalRequest;
class PortalSession;

class ScreenCastPortal : public QObject
{
    Q_OBJECT

public:
    ScreenCastPortal(QDBusConnection bus, PipeWireConnection &pipeWire,
            const PortalSettings &settings, EventRecord &record, TokenStore &tokens);
    ~ScreenCastPortal() override;

    // Puts the portal and the test controls on the bus (objects only, not the bus name).
    bool registerObjects(QString *error);

    const PortalSettings &settings() const { return m_settings; }

    // The D-Bus methods, called by the adaptors with the caller's message. Each either
    // answers (handle or fd) or has sent an error reply and returns an empty value.
    QDBusObjectPath createSession(const QDBusMessage &call, const QVariantMap &options);
    QDBusObjectPath selectSources(const QDBusMessage &call, const QDBusObjectPath &sessionHandle,
            const QVariantMap &options);
    QDBusObjectPath start(const QDBusMessage &call, const QDBusObjectPath &sessionHandle,
            const QVariantMap &options);
    QDBusUnixFileDescriptor openPipeWireRemote(
            const QDBusMessage &call, const QDBusObjectPath &sessionHandle);

    // The session's Close method and the client's disconnection: no Closed signal.
    void closeSession(PortalSession *session, bool notify);

    // Test controls: the nodes of every started session leave the graph (sessions stay open);
    // every session is closed from the portal's side (Closed signal).
    void removeNodes();
    void closeAllSessions();

private:
    PortalSession *callersSession(const QDBusMessage &call, const QDBusObjectPath &handle);
    PortalRequest *newRequest(const QDBusMessage &call, const QVariantMap &options);
    void startGranted(PortalSession *session, QPointer<PortalRequest> request);
    void streamReady(PortalSession *session, PortalRequest *request, quint32 nodeId);
    void removeNode(PortalSession *session);
    void callerGone(const QString &uniqueName);

    QDBusConnection m_bus;
    PipeWireConnection &m_pipeWire;
    PortalSettings m_settings;
    EventRecord &m_record;
    TokenStore &m_tokens;
    QDBusServiceWatcher m_callerWatcher;
    std::map<QString, std::unique_ptr<PortalSession>> m_sessions; // by object path
    quint64 m_nextToken = 1;
};

// An object on the bus whose adaptors need the call being answered: Qt D-Bus gives the
// context to the registered object, not to its adaptors.
class BusObject : public QObject, public QDBusContext
{
    Q_OBJECT

public:
    using QObject::QObject;
};

// org.freedesktop.portal.ScreenCast on /org/freedesktop/portal/desktop.
class ScreenCastAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.ScreenCast")
    Q_PROPERTY(uint AvailableSourceTypes READ availableSourceTypes)
    Q_PROPERTY(uint AvailableCursorModes READ availableCursorModes)
    Q_PROPERTY(uint version READ version)

public:
    ScreenCastAdaptor(BusObject *owner, ScreenCastPortal &portal);

    uint availableSourceTypes() const { return m_portal.settings().sourceTypes; }
    uint availableCursorModes() const { return m_portal.settings().cursorModes; }
    uint version() const { return 4; }

public slots:
    QDBusObjectPath CreateSession(const QVariantMap &options);
    QDBusObjectPath SelectSources(
            const QDBusObjectPath &session_handle, const QVariantMap &options);
    QDBusObjectPath Start(const QDBusObjectPath &session_handle, const QString &parent_window,
            const QVariantMap &options);
    QDBusUnixFileDescriptor OpenPipeWireRemote(
            const QDBusObjectPath &session_handle, const QVariantMap &options);

private:
    BusObject *m_owner;
    ScreenCastPortal &m_portal;
};

// org.tandeo.PortalStandin on /org/tandeo/PortalStandin: what a test makes happen.
class StandinControlAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.tandeo.PortalStandin")

public:
    StandinControlAdaptor(QObject *owner, ScreenCastPortal &portal);

public slots:
    void RemoveNode() { m_portal.removeNodes(); }
    void CloseSessions() { m_portal.closeAllSessions(); }

private:
    ScreenCastPortal &m_portal;
};

// One org.freedesktop.portal.Request object: answers once with Response, then leaves the bus;
// Close makes it leave without an answer.
class PortalRequest : public QObject
{
    Q_OBJECT

public:
    PortalRequest(QDBusConnection bus, const QString &path);
    ~PortalRequest() override;

    QString path() const { return m_path; }
    bool registerOnBus(QString *error);
    void respond(Response response, const QVariantMap &results = {});
    void close();

signals:
    void closed();

private:
    void leaveBus();

    QDBusConnection m_bus;
    QString m_path;
    bool m_onBus = false;
};

class RequestAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")

public:
    explicit RequestAdaptor(PortalRequest *request);

public slots:
    void Close() { m_request->close(); }

    // Declared for introspection only: PortalRequest::respond sends it itself.
signals:
    void Response(uint response, const QVariantMap &results);

private:
    PortalRequest *m_request;
};

// One screen-cast session and, once started, its node.
class PortalSession : public BusObject
{
    Q_OBJECT

public:
    enum class State { Created, SourcesSelected, Starting, Started };

    PortalSession(ScreenCastPortal &portal, const QString &path, const QString &owner);

    ScreenCastPortal &portal() const { return m_portal; }
    QString path() const { return m_path; }
    QString owner() const { return m_owner; }

    State state = State::Created;
    uint sourceType = Monitor;
    uint cursorMode = Hidden;
    uint persistMode = 0;
    QString restoredToken; // the token this session was restored from, when one was known
    std::unique_ptr<SourceStream> stream;

private:
    ScreenCastPortal &m_portal;
    QString m_path;
    QString m_owner;
};

class SessionAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Session")
    Q_PROPERTY(uint version READ version)

public:
    explicit SessionAdaptor(PortalSession *session);
    uint version() const { return 1; }

public slots:
    void Close();

    // Declared for introspection only: ScreenCastPortal::closeSession sends it itself.
signals:
    void Closed(const QVariantMap &details);

private:
    PortalSession *m_session;
};

} // namespace standin

#endif // TANDEO_STANDIN_SCREENCAST_PORTAL_H
