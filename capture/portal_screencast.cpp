#include "portal_screencast.h"

#include "capture_log.h"
#include "portal_names.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QSaveFile>
#include <QTimer>

#include <atomic>

namespace capture {

namespace {

const QString &PortalService = portal::Service;
const QString &PortalPath = portal::Path;
const QString ScreenCastInterface = QStringLiteral("org.freedesktop.portal.ScreenCast");
const QString &RequestInterface = portal::RequestInterface;
const QString &SessionInterface = portal::SessionInterface;
const QString PropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// Wire values of SelectSources' options.
constexpr quint32 CursorHidden = 1;
constexpr quint32 CursorEmbedded = 2;
constexpr quint32 PersistUntilRevoked = 2;
// The first version that keeps a granted choice (persist_mode, restore_token).
constexpr quint32 PersistVersion = 4;

// Response codes of a request.
constexpr uint ResponseOk = 0;
constexpr uint ResponseCancelled = 1;

QString seconds(std::chrono::milliseconds timeout)
{
    return QString::number((timeout.count() + 999) / 1000);
}

// One stream of Start's results: (u node, a{sv} properties).
ScreenCastStream readStream(const QDBusArgument &argument)
{
    ScreenCastStream stream;
    QVariantMap properties;
    argument.beginStructure();
    argument >> stream.nodeId >> properties;
    argument.endStructure();
    const QVariant size = properties.value(QStringLiteral("size"));
    if (size.canConvert<QDBusArgument>()) {
        const QDBusArgument pair = size.value<QDBusArgument>();
        int width = 0, height = 0;
        pair.beginStructure();
        pair >> width >> height;
        pair.endStructure();
        if (width > 0 && height > 0)
            stream.size = QSize(width, height);
    }
    const uint type = properties.value(QStringLiteral("source_type"), 1u).toUInt();
    stream.sourceType = type == uint(ScreenCastSourceType::Window) ? ScreenCastSourceType::Window
                                                                   : ScreenCastSourceType::Monitor;
    return stream;
}

// Start's streams: a(ua{sv}).
QList<ScreenCastStream> readStreams(const QVariant &value)
{
    QList<ScreenCastStream> streams;
    if (!value.canConvert<QDBusArgument>())
        return streams;
    const QDBusArgument array = value.value<QDBusArgument>();
    array.beginArray();
    while (!array.atEnd())
        streams.append(readStream(array));
    array.endArray();
    return streams;
}

} // namespace

bool isPortalTimeout(const QDBusMessage &reply)
{
    const QString name = reply.errorName();
    return name == QLatin1String("org.freedesktop.DBus.Error.NoReply")
            || name == QLatin1String("org.freedesktop.DBus.Error.Timeout")
            || name == QLatin1String("org.freedesktop.DBus.Error.TimedOut");
}

PortalScreenCast::PortalScreenCast(QDBusConnection bus, QObject *parent)
    : QObject(parent),
      m_bus(std::move(bus)),
      m_tokenFile(defaultTokenFile())
{
    qRegisterMetaType<ScreenCastOutcome>();
    m_responseTimer = new QTimer(this);
    m_responseTimer->setSingleShot(true);
    connect(m_responseTimer, &QTimer::timeout, this, [this] {
        fail(ScreenCastFailure::NoAnswer,
                seconds(std::chrono::milliseconds(m_responseTimer->interval())));
    });
}

PortalScreenCast::~PortalScreenCast()
{
    unsubscribeResponse();
    closeSession();
}

QString PortalScreenCast::defaultTokenFile()
{
    return QDir::homePath() + QStringLiteral("/.tandeo-screencast-token");
}

QString PortalScreenCast::storedRestoreToken() const
{
    QFile file(m_tokenFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.read(4096)).trimmed();
}

void PortalScreenCast::forgetRestoreToken()
{
    QFile::remove(m_tokenFile);
}

void PortalScreenCast::storeRestoreToken(const QString &token)
{
    QSaveFile file(m_tokenFile);
    if (!file.open(QIODevice::WriteOnly)) {
        qCWarning(lcCapture) << "cannot keep the screen-cast token in" << m_tokenFile << ":"
                             << file.errorString();
        return;
    }
    // The token lets the program share the screen again without asking: the user's only.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(token.toUtf8() + '\n');
    if (!file.commit())
        qCWarning(lcCapture) << "cannot keep the screen-cast token in" << m_tokenFile << ":"
                             << file.errorString();
}

QString PortalScreenCast::newToken()
{
    // Unique among every client of this bus connection, as the request paths must be.
    static std::atomic<int> counter{ 0 };
    return QStringLiteral("tandeo%1_%2").arg(QCoreApplication::applicationPid()).arg(++counter);
}

void PortalScreenCast::start(const SourceOptions &options, ScreenCastSourceType type)
{
    if (isStarting())
        return;
    if (isRunning())
        close();
    m_retriedWithoutToken = false;
    begin(options, type);
}

void PortalScreenCast::begin(const SourceOptions &options, ScreenCastSourceType type)
{
    m_options = options;
    m_wantedType = type;
    m_restoreTokenSent = false;
    m_stream = {};
    m_version = m_sourceTypes = m_cursorModes = 0;
    m_step = Step::Properties;
    if (!m_bus.isConnected()) {
        fail(ScreenCastFailure::NoPortal, QStringLiteral("no session bus"));
        return;
    }

    // Reading the version also starts the portal when the bus starts it on demand; an error
    // here means there is no portal, or none with screen casting.
    QDBusMessage get = QDBusMessage::createMethodCall(
            PortalService, PortalPath, PropertiesInterface, QStringLiteral("GetAll"));
    get.setArguments({ ScreenCastInterface });
    call(get, [this](const QDBusMessage &reply) { readProperties(reply); });
}

void PortalScreenCast::readProperties(const QDBusMessage &reply)
{
    if (reply.type() == QDBusMessage::ErrorMessage) {
        if (isPortalTimeout(reply)) {
            fail(ScreenCastFailure::NoAnswer, seconds(m_callTimeout));
        } else {
            qCInfo(lcCapture) << "no screen-cast portal:" << reply.errorName()
                              << reply.errorMessage();
            fail(ScreenCastFailure::NoPortal, reply.errorName());
        }
        return;
    }
    const QVariantMap properties = qdbus_cast<QVariantMap>(reply.arguments().value(0));
    if (!properties.contains(QStringLiteral("version"))) {
        fail(ScreenCastFailure::NoPortal,
                QStringLiteral("the desktop portal has no screen casting"));
        return;
    }
    m_version = properties.value(QStringLiteral("version")).toUInt();
    m_sourceTypes = properties.value(QStringLiteral("AvailableSourceTypes")).toUInt();
    m_cursorModes = properties.value(QStringLiteral("AvailableCursorModes")).toUInt();
    qCDebug(lcCapture) << "screen-cast portal version" << m_version << "source types"
                       << m_sourceTypes << "cursor modes" << m_cursorModes;
    createSession();
}

void PortalScreenCast::call(
        const QDBusMessage &message, std::function<void(const QDBusMessage &)> answered)
{
    const Step step = m_step;
    const quint64 generation = m_generation;
    auto *watcher =
            new QDBusPendingCallWatcher(m_bus.asyncCall(message, int(m_callTimeout.count())), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, step, generation, answered = std::move(answered)](
                    QDBusPendingCallWatcher *finished) {
                finished->deleteLater();
                // An answer to a call of an earlier step or an abandoned start.
                if (generation != m_generation || step != m_step)
                    return;
                answered(finished->reply());
            });
}

bool PortalScreenCast::subscribeResponse(const QString &path)
{
    m_requestPath = path;
    return m_bus.connect(PortalService, path, RequestInterface, QStringLiteral("Response"), this,
            SLOT(onResponse(uint, QVariantMap)));
}

void PortalScreenCast::unsubscribeResponse()
{
    m_responseTimer->stop();
    if (m_requestPath.isEmpty())
        return;
    m_bus.disconnect(PortalService, m_requestPath, RequestInterface, QStringLiteral("Response"),
            this, SLOT(onResponse(uint, QVariantMap)));
    m_requestPath.clear();
}

void PortalScreenCast::callWithRequest(const QString &method, const QVariantList &arguments,
        const QString &token, std::chrono::milliseconds responseTimeout)
{
    // The request object is named after our unique bus name without the colon, dots made
    // underscores, and the token we pass.
    const QString sender = m_bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    if (!subscribeResponse(
                PortalPath + QStringLiteral("/request/") + sender + QLatin1Char('/') + token)) {
        fail(ScreenCastFailure::AnswersUnreadable, {});
        return;
    }
    QDBusMessage message =
            QDBusMessage::createMethodCall(PortalService, PortalPath, ScreenCastInterface, method);
    message.setArguments(arguments);
    call(message, [this, method, responseTimeout](const QDBusMessage &reply) {
        if (reply.type() == QDBusMessage::ErrorMessage) {
            qCWarning(lcCapture) << "portal" << method << "failed:" << reply.errorName()
                                 << reply.errorMessage();
            if (isPortalTimeout(reply))
                fail(ScreenCastFailure::NoAnswer, seconds(m_callTimeout));
            else
                fail(ScreenCastFailure::PortalError, reply.errorMessage());
            return;
        }
        // Portals older than the request-path rule name the request themselves: follow it
        // (its answer may be lost, which the time-out then catches).
        const QString handle = qdbus_cast<QDBusObjectPath>(reply.arguments().value(0)).path();
        if (!handle.isEmpty() && handle != m_requestPath) {
            unsubscribeResponse();
            subscribeResponse(handle);
        }
        m_responseTimer->start(responseTimeout);
    });
}

void PortalScreenCast::createSession()
{
    m_step = Step::CreateSession;
    const QString sessionToken = newToken();
    const QString sender = m_bus.baseService().mid(1).replace(QLatin1Char('.'), QLatin1Char('_'));
    m_sessionPath =
            PortalPath + QStringLiteral("/session/") + sender + QLatin1Char('/') + sessionToken;
    const QString token = newToken();
    const QVariantMap options{
        { QStringLiteral("handle_token"), token },
        { QStringLiteral("session_handle_token"), sessionToken },
    };
    callWithRequest(QStringLiteral("CreateSession"), { options }, token, m_callTimeout);
}

void PortalScreenCast::selectSources()
{
    m_step = Step::SelectSources;
    const QString token = newToken();

    quint32 types = quint32(ScreenCastSourceType::Monitor);
    if (m_wantedType == ScreenCastSourceType::Window
            && (m_sourceTypes & quint32(ScreenCastSourceType::Window)))
        types = quint32(ScreenCastSourceType::Window);
    else if (m_sourceTypes != 0 && !(m_sourceTypes & quint32(ScreenCastSourceType::Monitor)))
        types = m_sourceTypes & quint32(ScreenCastSourceType::Window);

    QVariantMap options{
        { QStringLiteral("handle_token"), token },
        { QStringLiteral("types"), QVariant::fromValue(types) },
        { QStringLiteral("multiple"), false },
    };
    // A mode the portal does not offer would fail the call: leave the choice to it then.
    if (m_options.showPointer && (m_cursorModes & CursorEmbedded))
        options.insert(QStringLiteral("cursor_mode"), QVariant::fromValue(CursorEmbedded));
    else if (m_cursorModes & CursorHidden)
        options.insert(QStringLiteral("cursor_mode"), QVariant::fromValue(CursorHidden));
    if (m_version >= PersistVersion) {
        options.insert(QStringLiteral("persist_mode"), QVariant::fromValue(PersistUntilRevoked));
        const QString restoreToken = storedRestoreToken();
        m_restoreTokenSent = !restoreToken.isEmpty();
        if (m_restoreTokenSent)
            options.insert(QStringLiteral("restore_token"), restoreToken);
    }
    callWithRequest(QStringLiteral("SelectSources"),
            { QVariant::fromValue(QDBusObjectPath(m_sessionPath)), options }, token, m_callTimeout);
}

void PortalScreenCast::startSession()
{
    m_step = Step::Start;
    const QString token = newToken();
    const QVariantMap options{ { QStringLiteral("handle_token"), token } };
    // No parent window: the program does not export its Wayland surface, so the portal's
    // dialog stands on its own.
    callWithRequest(QStringLiteral("Start"),
            { QVariant::fromValue(QDBusObjectPath(m_sessionPath)), QString(), options }, token,
            m_choiceTimeout);
}

void PortalScreenCast::onResponse(uint response, const QVariantMap &results)
{
    if (!isStarting() || m_requestPath.isEmpty())
        return;
    unsubscribeResponse();
    if (response == ResponseCancelled) {
        fail(ScreenCastFailure::Refused, {});
        return;
    }
    if (response != ResponseOk && m_restoreTokenSent && !m_retriedWithoutToken
            && (m_step == Step::SelectSources || m_step == Step::Start)) {
        // A portal should ignore a token it no longer knows and ask the user; one that fails
        // instead is asked once more without it.
        qCInfo(lcCapture) << "the portal failed with the kept token; asking without it";
        forgetRestoreToken();
        closeSession();
        const SourceOptions options = m_options;
        const ScreenCastSourceType type = m_wantedType;
        m_step = Step::Idle;
        ++m_generation;
        m_retriedWithoutToken = true;
        begin(options, type);
        return;
    }
    if (response != ResponseOk) {
        fail(ScreenCastFailure::NotStarted, QString::number(response));
        return;
    }
    switch (m_step) {
    case Step::CreateSession: {
        // Version 1 of the interface handed the session's path back as a string.
        const QString handle = results.value(QStringLiteral("session_handle")).toString();
        if (!handle.isEmpty())
            m_sessionPath = handle;
        m_sessionSubscribed = m_bus.connect(PortalService, m_sessionPath, SessionInterface,
                QStringLiteral("Closed"), this, SLOT(onSessionClosed(QVariantMap)));
        selectSources();
        break;
    }
    case Step::SelectSources:
        startSession();
        break;
    case Step::Start:
        openRemote(results);
        break;
    default:
        break;
    }
}

void PortalScreenCast::openRemote(const QVariantMap &startResults)
{
    const QList<ScreenCastStream> streams =
            readStreams(startResults.value(QStringLiteral("streams")));
    if (streams.isEmpty()) {
        fail(ScreenCastFailure::NothingGranted, {});
        return;
    }
    m_stream = streams.first();
    const QString restoreToken = startResults.value(QStringLiteral("restore_token")).toString();
    if (!restoreToken.isEmpty())
        storeRestoreToken(restoreToken);

    m_step = Step::OpenRemote;
    if (!(m_bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
        fail(ScreenCastFailure::NoPictureConnection,
                QStringLiteral("the session bus cannot pass file descriptors"));
        return;
    }
    QDBusMessage message = QDBusMessage::createMethodCall(
            PortalService, PortalPath, ScreenCastInterface, QStringLiteral("OpenPipeWireRemote"));
    message.setArguments({ QVariant::fromValue(QDBusObjectPath(m_sessionPath)), QVariantMap() });
    call(message, [this](const QDBusMessage &reply) {
        if (reply.type() == QDBusMessage::ErrorMessage) {
            qCWarning(lcCapture) << "OpenPipeWireRemote failed:" << reply.errorName()
                                 << reply.errorMessage();
            fail(ScreenCastFailure::NoPictureConnection, reply.errorMessage());
            return;
        }
        const auto fd = qdbus_cast<QDBusUnixFileDescriptor>(reply.arguments().value(0));
        if (!fd.isValid()) {
            fail(ScreenCastFailure::NoPictureConnection, {});
            return;
        }
        m_stream.pipeWireFd = fd;
        qCInfo(lcCapture) << "screen cast granted: node" << m_stream.nodeId << "size"
                          << m_stream.size;
        ScreenCastOutcome outcome;
        outcome.failure = ScreenCastFailure::None;
        outcome.stream = m_stream;
        m_step = Step::Running;
        finish(std::move(outcome));
    });
}

void PortalScreenCast::onSessionClosed(const QVariantMap &details)
{
    (void)details;
    qCInfo(lcCapture) << "the desktop closed the screen-cast session";
    if (m_sessionSubscribed) {
        m_bus.disconnect(PortalService, m_sessionPath, SessionInterface, QStringLiteral("Closed"),
                this, SLOT(onSessionClosed(QVariantMap)));
        m_sessionSubscribed = false;
    }
    // Nothing left to close.
    m_sessionPath.clear();
    if (isStarting()) {
        fail(ScreenCastFailure::EndedBeforeStart, {});
    } else if (m_step == Step::Running) {
        m_step = Step::Idle;
        emit sessionClosed();
    }
}

void PortalScreenCast::fail(ScreenCastFailure failure, const QString &detail)
{
    qCInfo(lcCapture) << "screen cast not started:" << int(failure) << detail;
    unsubscribeResponse();
    closeSession();
    ScreenCastOutcome outcome;
    outcome.failure = failure;
    outcome.detail = detail;
    m_step = Step::Idle;
    finish(std::move(outcome));
}

void PortalScreenCast::finish(ScreenCastOutcome outcome)
{
    ++m_generation;
    // Queued, so that a failure found inside start() reaches whoever connects after it.
    QMetaObject::invokeMethod(
            this, [this, outcome] { emit finished(outcome); }, Qt::QueuedConnection);
}

void PortalScreenCast::closeSession()
{
    if (m_sessionSubscribed) {
        m_bus.disconnect(PortalService, m_sessionPath, SessionInterface, QStringLiteral("Closed"),
                this, SLOT(onSessionClosed(QVariantMap)));
        m_sessionSubscribed = false;
    }
    if (m_sessionPath.isEmpty() || !m_bus.isConnected())
        return;
    m_bus.send(QDBusMessage::createMethodCall(
            PortalService, m_sessionPath, SessionInterface, QStringLiteral("Close")));
    m_sessionPath.clear();
}

void PortalScreenCast::close()
{
    if (isStarting()) {
        if (!m_requestPath.isEmpty() && m_bus.isConnected())
            m_bus.send(QDBusMessage::createMethodCall(
                    PortalService, m_requestPath, RequestInterface, QStringLiteral("Close")));
        fail(ScreenCastFailure::Withdrawn, {});
        return;
    }
    unsubscribeResponse();
    closeSession();
    m_stream = {};
    m_step = Step::Idle;
}

ScreenCastOutcome PortalScreenCast::startAndWait(
        const SourceOptions &options, ScreenCastSourceType type)
{
    ScreenCastOutcome outcome;
    if (isStarting()) {
        outcome.failure = ScreenCastFailure::AlreadyAsking;
        return outcome;
    }
    QEventLoop loop;
    bool done = false;
    const auto connection =
            connect(this, &PortalScreenCast::finished, &loop, [&](const ScreenCastOutcome &result) {
                outcome = result;
                done = true;
                loop.quit();
            });
    start(options, type);
    if (!done)
        loop.exec();
    disconnect(connection);
    return outcome;
}

} // namespace capture
