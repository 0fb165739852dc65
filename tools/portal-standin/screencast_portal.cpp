#include "screencast_portal.h"

#include "portal_types.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QRegularExpression>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace standin {

namespace {

const QString DesktopPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString ControlPath = QStringLiteral("/org/tandeo/PortalStandin");

const QString InvalidArgument = QStringLiteral("org.freedesktop.portal.Error.InvalidArgument");
const QString Failed = QStringLiteral("org.freedesktop.portal.Error.Failed");
const QString AccessDenied = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
const QString RequestInterface = QStringLiteral("org.freedesktop.portal.Request");
const QString SessionInterface = QStringLiteral("org.freedesktop.portal.Session");

constexpr auto NodeReadyTimeout = 10s;

// Request and session objects leave the bus right after their last signal. Qt D-Bus relays
// an adaptor's signal later from its own thread, by then for an object no longer on the bus,
// and drops it; a signal message sent here is on its way at once.
void sendSignal(QDBusConnection bus, const QString &path, const QString &interface,
        const QString &name, const QVariantList &arguments)
{
    QDBusMessage signal = QDBusMessage::createSignal(path, interface, name);
    signal.setArguments(arguments);
    bus.send(signal);
}

// The error reply replaces the method's own answer.
void replyError(const QDBusMessage &call, const QString &name, const QString &text)
{
    call.setDelayedReply(true);
    QDBusConnection::sessionBus().send(call.createErrorReply(name, text));
}

// ":1.42" -> "1_42", the sender's part of request and session handles.
QString senderPathElement(const QString &uniqueName)
{
    QString element = uniqueName.startsWith(u':') ? uniqueName.mid(1) : uniqueName;
    return element.replace(u'.', u'_');
}

bool isPathElement(const QString &text)
{
    static const QRegularExpression element(QStringLiteral("^[A-Za-z0-9_]+$"));
    return element.match(text).hasMatch();
}

// Reads an option that must have the given D-Bus type when it is present; false (with the
// error reply sent) when it has another type.
template <typename T>
bool readOption(const QDBusMessage &call, const QVariantMap &options, const QString &key, T *value)
{
    const auto found = options.constFind(key);
    if (found == options.constEnd())
        return true;
    if (found->metaType() != QMetaType::fromType<T>()) {
        replyError(call, InvalidArgument,
                QStringLiteral("option %1 has the wrong type (%2)").arg(key, found->typeName()));
        return false;
    }
    *value = found->value<T>();
    return true;
}

bool isSingleBit(uint value)
{
    return value != 0 && (value & (value - 1)) == 0;
}

// The PipeWire daemon's socket as libpipewire finds it.
QByteArray pipeWireSocketPath()
{
    QByteArray name = qgetenv("PIPEWIRE_REMOTE");
    if (name.isEmpty())
        name = "pipewire-0";
    if (name.startsWith('/'))
        return name;
    QByteArray dir = qgetenv("PIPEWIRE_RUNTIME_DIR");
    if (dir.isEmpty())
        dir = qgetenv("XDG_RUNTIME_DIR");
    return dir + '/' + name;
}

} // namespace

ScreenCastPortal::ScreenCastPortal(QDBusConnection bus, PipeWireConnection &pipeWire,
        const PortalSettings &settings, EventRecord &record, TokenStore &tokens)
    : m_bus(bus),
      m_pipeWire(pipeWire),
      m_settings(settings),
      m_record(record),
      m_tokens(tokens),
      m_callerWatcher(QString(), bus, QDBusServiceWatcher::WatchForUnregistration)
{
    connect(&m_callerWatcher, &QDBusServiceWatcher::serviceUnregistered, this,
            &ScreenCastPortal::callerGone);
}

ScreenCastPortal::~ScreenCastPortal() = default;

bool ScreenCastPortal::registerObjects(QString *error)
{
    auto *desktop = new BusObject(this);
    new ScreenCastAdaptor(desktop, *this);
    auto *control = new QObject(this);
    new StandinControlAdaptor(control, *this);
    if (!m_bus.registerObject(DesktopPath, desktop, QDBusConnection::ExportAdaptors)
            || !m_bus.registerObject(ControlPath, control, QDBusConnection::ExportAdaptors)) {
        *error = m_bus.lastError().message();
        return false;
    }
    return true;
}

PortalRequest *ScreenCastPortal::newRequest(const QDBusMessage &call, const QVariantMap &options)
{
    QString token = QStringLiteral("standin%1").arg(m_nextToken++);
    if (!readOption(call, options, QStringLiteral("handle_token"), &token))
        return nullptr;
    if (!isPathElement(token)) {
        replyError(call, InvalidArgument, QStringLiteral("invalid handle_token"));
        return nullptr;
    }
    const QString path = QStringLiteral("%1/request/%2/%3")
                                 .arg(DesktopPath, senderPathElement(call.service()), token);
    auto *request = new PortalRequest(m_bus, path);
    request->setParent(this);
    QString error;
    if (!request->registerOnBus(&error)) {
        delete request;
        replyError(call, Failed, error);
        return nullptr;
    }
    return request;
}

PortalSession *ScreenCastPortal::callersSession(
        const QDBusMessage &call, const QDBusObjectPath &handle)
{
    const auto found = m_sessions.find(handle.path());
    if (found == m_sessions.end() || found->second->owner() != call.service()) {
        replyError(call, AccessDenied, QStringLiteral("Invalid session"));
        return nullptr;
    }
    return found->second.get();
}

QDBusObjectPath ScreenCastPortal::createSession(
        const QDBusMessage &call, const QVariantMap &options)
{
    QString sessionToken = QStringLiteral("standin%1").arg(m_nextToken++);
    if (!readOption(call, options, QStringLiteral("session_handle_token"), &sessionToken))
        return {};
    if (!isPathElement(sessionToken)) {
        replyError(call, InvalidArgument, QStringLiteral("invalid session_handle_token"));
        return {};
    }
    const QString sessionPath =
            QStringLiteral("%1/session/%2/%3")
                    .arg(DesktopPath, senderPathElement(call.service()), sessionToken);
    if (m_sessions.count(sessionPath)) {
        replyError(call, Failed, QStringLiteral("session handle in use"));
        return {};
    }
    PortalRequest *request = newRequest(call, options);
    if (!request)
        return {};

    auto session = std::make_unique<PortalSession>(*this, sessionPath, call.service());
    new SessionAdaptor(session.get());
    if (!m_bus.registerObject(sessionPath, session.get(), QDBusConnection::ExportAdaptors)) {
        request->close();
        replyError(call, Failed, QStringLiteral("cannot create the session object"));
        return {};
    }
    m_sessions.emplace(sessionPath, std::move(session));
    m_callerWatcher.addWatchedService(call.service());
    m_record.add(QStringLiteral("create-session"));

    QTimer::singleShot(0, request, [request, sessionPath] {
        request->respond(Response::Success, { { QStringLiteral("session_handle"), sessionPath } });
    });
    return QDBusObjectPath(request->path());
}

QDBusObjectPath ScreenCastPortal::selectSources(
        const QDBusMessage &call, const QDBusObjectPath &sessionHandle, const QVariantMap &options)
{
    PortalSession *session = callersSession(call, sessionHandle);
    if (!session)
        return {};
    if (session->state != PortalSession::State::Created) {
        replyError(call, Failed, QStringLiteral("Sources already selected"));
        return {};
    }
    uint types = Monitor;
    bool multiple = false;
    uint cursorMode = Hidden;
    uint persistMode = 0;
    QString restoreToken;
    if (!readOption(call, options, QStringLiteral("types"), &types)
            || !readOption(call, options, QStringLiteral("multiple"), &multiple)
            || !readOption(call, options, QStringLiteral("cursor_mode"), &cursorMode)
            || !readOption(call, options, QStringLiteral("persist_mode"), &persistMode)
            || !readOption(call, options, QStringLiteral("restore_token"), &restoreToken))
        return {};
    if (types == 0)
        types = Monitor;
    if ((types & ~m_settings.sourceTypes) != 0) {
        replyError(call, InvalidArgument, QStringLiteral("Unsupported source type %1").arg(types));
        return {};
    }
    if (!isSingleBit(cursorMode) || (cursorMode & m_settings.cursorModes) == 0) {
        replyError(call, InvalidArgument, QStringLiteral("Unknown cursor mode %1").arg(cursorMode));
        return {};
    }
    if (persistMode > 2) {
        replyError(
                call, InvalidArgument, QStringLiteral("Unknown persist mode %1").arg(persistMode));
        return {};
    }
    PortalRequest *request = newRequest(call, options);
    if (!request)
        return {};

    // One stream whatever "multiple" says: the stand-in has one screen to offer.
    session->sourceType = (types & Monitor) ? Monitor : Window;
    session->cursorMode = cursorMode;
    session->persistMode = persistMode;
    const bool restored = !restoreToken.isEmpty() && m_tokens.knows(restoreToken);
    if (restored)
        session->restoredToken = restoreToken;
    session->state = PortalSession::State::SourcesSelected;
    m_record.add(QStringLiteral("select-sources types=%1 cursor=%2 persist=%3 restored=%4")
                         .arg(types)
                         .arg(cursorMode)
                         .arg(persistMode)
                         .arg(restored ? "yes" : "no"));

    QTimer::singleShot(0, request, [request] { request->respond(Response::Success); });
    return QDBusObjectPath(request->path());
}

QDBusObjectPath ScreenCastPortal::start(
        const QDBusMessage &call, const QDBusObjectPath &sessionHandle, const QVariantMap &options)
{
    PortalSession *session = callersSession(call, sessionHandle);
    if (!session)
        return {};
    if (session->state != PortalSession::State::SourcesSelected) {
        replyError(call, Failed,
                session->state == PortalSession::State::Created
                        ? QStringLiteral("Sources not selected")
                        : QStringLiteral("Session already started"));
        return {};
    }
    PortalRequest *request = newRequest(call, options);
    if (!request)
        return {};
    session->state = PortalSession::State::Starting;

    QPointer<PortalSession> guardedSession(session);
    QPointer<PortalRequest> guardedRequest(request);
    m_record.add(QStringLiteral("start asked"));
    QTimer::singleShot(m_settings.answerAfterMs, this, [this, guardedSession, guardedRequest] {
        if (!guardedSession || !guardedRequest) {
            m_record.add(QStringLiteral("start withdrawn"));
            return;
        }
        if (m_settings.answer == Answer::Cancel) {
            m_record.add(QStringLiteral("start cancelled"));
            guardedRequest->respond(Response::Cancelled);
            // A share the user turned down ends its session, as the desktop portals do.
            closeSession(guardedSession, true);
            return;
        }
        startGranted(guardedSession, guardedRequest);
    });
    return QDBusObjectPath(request->path());
}

void ScreenCastPortal::startGranted(PortalSession *session, QPointer<PortalRequest> request)
{
    SourceStream::Options options;
    options.width = m_settings.width;
    options.height = m_settings.height;
    options.cursorEmbedded = session->cursorMode == Embedded;
    options.nodeName = QStringLiteral("tandeo-portal-standin");
    options.pictureFile = m_settings.pictureFile;
    session->stream = std::make_unique<SourceStream>(m_pipeWire, options);
    SourceStream *stream = session->stream.get();

    QPointer<PortalSession> guardedSession(session);
    connect(stream, &SourceStream::ready, this, [this, guardedSession, request](quint32 nodeId) {
        if (guardedSession && request)
            streamReady(guardedSession, request, nodeId);
    });
    // Queued: the stream must not be destroyed inside its own PipeWire callback.
    connect(
            stream, &SourceStream::failed, this,
            [this, guardedSession, request](const QString &reason) {
                if (!guardedSession)
                    return;
                qWarning("screen-cast stream failed: %s", qPrintable(reason));
                if (guardedSession->state == PortalSession::State::Starting) {
                    if (request)
                        request->respond(Response::Ended);
                    closeSession(guardedSession, true);
                } else {
                    removeNode(guardedSession);
                }
            },
            Qt::QueuedConnection);
    if (m_settings.removeNodeAfterFrames > 0) {
        connect(
                stream, &SourceStream::frameSent, this,
                [this, guardedSession](quint64 framesSent) {
                    if (guardedSession && framesSent == quint64(m_settings.removeNodeAfterFrames))
                        removeNode(guardedSession);
                },
                Qt::QueuedConnection);
    }
    connect(request, &PortalRequest::closed, this, [this, guardedSession] {
        if (guardedSession && guardedSession->state == PortalSession::State::Starting)
            closeSession(guardedSession, false);
    });
    QTimer::singleShot(NodeReadyTimeout, this, [this, guardedSession, request] {
        if (!guardedSession || guardedSession->state != PortalSession::State::Starting)
            return;
        qWarning("the screen-cast node did not appear in time");
        if (request)
            request->respond(Response::Ended);
        closeSession(guardedSession, true);
    });

    QString error;
    if (!stream->start(&error)) {
        qWarning("%s", qPrintable(error));
        request->respond(Response::Ended);
        closeSession(session, true);
    }
}

void ScreenCastPortal::streamReady(PortalSession *session, PortalRequest *request, quint32 nodeId)
{
    if (session->state != PortalSession::State::Starting)
        return;
    session->state = PortalSession::State::Started;

    StreamDescription description;
    description.nodeId = nodeId;
    description.properties.insert(QStringLiteral("size"),
            QVariant::fromValue(IntPair{ m_settings.width, m_settings.height }));
    description.properties.insert(QStringLiteral("source_type"), session->sourceType);
    if (session->sourceType == Monitor) // windows have no place on the desktop to tell
        description.properties.insert(
                QStringLiteral("position"), QVariant::fromValue(IntPair{ 0, 0 }));

    QVariantMap results;
    results.insert(QStringLiteral("streams"),
            QVariant::fromValue(QList<StreamDescription>{ description }));
    if (session->persistMode != 0) {
        if (!session->restoredToken.isEmpty())
            m_tokens.forget(session->restoredToken);
        results.insert(QStringLiteral("restore_token"), m_tokens.issue(session->persistMode == 2));
    }
    results.insert(QStringLiteral("persist_mode"), session->persistMode);
    m_record.add(QStringLiteral("start granted node=%1").arg(nodeId));
    request->respond(Response::Success, results);
}

QDBusUnixFileDescriptor ScreenCastPortal::openPipeWireRemote(
        const QDBusMessage &call, const QDBusObjectPath &sessionHandle)
{
    PortalSession *session = callersSession(call, sessionHandle);
    if (!session)
        return {};
    if (session->state != PortalSession::State::Started) {
        replyError(call, AccessDenied, QStringLiteral("Session not started"));
        return {};
    }
    const QByteArray path = pipeWireSocketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= int(sizeof(address.sun_path))) {
        replyError(call, Failed, QStringLiteral("PipeWire socket path too long"));
        return {};
    }
    std::memcpy(address.sun_path, path.constData(), path.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        const QString reason = QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0)
            ::close(fd);
        replyError(call, Failed,
                QStringLiteral("cannot connect to %1: %2")
                        .arg(QString::fromLocal8Bit(path), reason));
        return {};
    }
    QDBusUnixFileDescriptor descriptor(fd); // keeps a duplicate
    ::close(fd);
    m_record.add(QStringLiteral("open-remote"));
    return descriptor;
}

void ScreenCastPortal::closeSession(PortalSession *session, bool notify)
{
    const auto found = m_sessions.find(session->path());
    if (found == m_sessions.end())
        return;
    PortalSession *closing = found->second.release();
    m_sessions.erase(found);
    closing->stream.reset();
    if (notify)
        sendSignal(m_bus, closing->path(), SessionInterface, QStringLiteral("Closed"),
                { QVariantMap{} });
    m_bus.unregisterObject(closing->path());
    m_record.add(QStringLiteral("session-closed"));
    // Later: this may run inside the session's own Close method.
    closing->deleteLater();
}

void ScreenCastPortal::removeNode(PortalSession *session)
{
    if (!session->stream)
        return;
    session->stream.reset();
    m_record.add(QStringLiteral("node-removed"));
}

void ScreenCastPortal::removeNodes()
{
    for (auto &[path, session] : m_sessions)
        removeNode(session.get());
}

void ScreenCastPortal::closeAllSessions()
{
    while (!m_sessions.empty())
        closeSession(m_sessions.begin()->second.get(), true);
}

void ScreenCastPortal::callerGone(const QString &uniqueName)
{
    m_callerWatcher.removeWatchedService(uniqueName);
    std::vector<PortalSession *> owned;
    for (auto &[path, session] : m_sessions) {
        if (session->owner() == uniqueName)
            owned.push_back(session.get());
    }
    for (PortalSession *session : owned)
        closeSession(session, false);
}

ScreenCastAdaptor::ScreenCastAdaptor(BusObject *owner, ScreenCastPortal &portal)
    : QDBusAbstractAdaptor(owner),
      m_owner(owner),
      m_portal(portal)
{
}

QDBusObjectPath ScreenCastAdaptor::CreateSession(const QVariantMap &options)
{
    return m_portal.createSession(m_owner->message(), options);
}

QDBusObjectPath ScreenCastAdaptor::SelectSources(
        const QDBusObjectPath &session_handle, const QVariantMap &options)
{
    return m_portal.selectSources(m_owner->message(), session_handle, options);
}

QDBusObjectPath ScreenCastAdaptor::Start(
        const QDBusObjectPath &session_handle, const QString &, const QVariantMap &options)
{
    return m_portal.start(m_owner->message(), session_handle, options);
}

QDBusUnixFileDescriptor ScreenCastAdaptor::OpenPipeWireRemote(
        const QDBusObjectPath &session_handle, const QVariantMap &)
{
    return m_portal.openPipeWireRemote(m_owner->message(), session_handle);
}

StandinControlAdaptor::StandinControlAdaptor(QObject *owner, ScreenCastPortal &portal)
    : QDBusAbstractAdaptor(owner),
      m_portal(portal)
{
}

PortalRequest::PortalRequest(QDBusConnection bus, const QString &path) : m_bus(bus), m_path(path)
{
    new RequestAdaptor(this);
}

PortalRequest::~PortalRequest()
{
    leaveBus();
}

bool PortalRequest::registerOnBus(QString *error)
{
    m_onBus = m_bus.registerObject(m_path, this, QDBusConnection::ExportAdaptors);
    if (!m_onBus)
        *error = QStringLiteral("request handle in use: %1").arg(m_path);
    return m_onBus;
}

void PortalRequest::respond(Response response, const QVariantMap &results)
{
    if (!m_onBus)
        return;
    sendSignal(m_bus, m_path, RequestInterface, QStringLiteral("Response"),
            { uint(response), results });
    leaveBus();
    deleteLater();
}

void PortalRequest::close()
{
    if (!m_onBus)
        return;
    leaveBus();
    emit closed();
    deleteLater();
}

void PortalRequest::leaveBus()
{
    if (m_onBus)
        m_bus.unregisterObject(m_path);
    m_onBus = false;
}

RequestAdaptor::RequestAdaptor(PortalRequest *request)
    : QDBusAbstractAdaptor(request),
      m_request(request)
{
}

PortalSession::PortalSession(ScreenCastPortal &portal, const QString &path, const QString &owner)
    : m_portal(portal),
      m_path(path),
      m_owner(owner)
{
}

SessionAdaptor::SessionAdaptor(PortalSession *session)
    : QDBusAbstractAdaptor(session),
      m_session(session)
{
}

void SessionAdaptor::Close()
{
    if (m_session->message().service() != m_session->owner()) {
        m_session->sendErrorReply(AccessDenied, QStringLiteral("Not the session's owner"));
        return;
    }
    m_session->portal().closeSession(m_session, false);
}

} // namespace standin
