#ifndef TANDEO_CAPTURE_PORTAL_SCREENCAST_H
#define TANDEO_CAPTURE_PORTAL_SCREENCAST_H

// Asking the desktop for a screen to share on a Wayland desktop, where no program may read the
// screen on its own: the screen-cast portal on the session bus opens a session, lets the user
// pick a monitor (or a window) in its own dialog, and hands back a PipeWire connection and the
// number of the node that carries the pictures (see PipeWireStream).
//
// Every portal call answers at once with a request object; the real answer follows later as
// that object's Response signal. The request's path is known before the call (it is made of
// our bus name and a token we choose), so the signal is subscribed to first and cannot be
// missed.
//
// Once the user allowed a screen, the portal gives a restore token; it is kept in a file in
// the home folder and offered the next time, so the portal may share the same screen again
// without asking. A token the portal no longer accepts only means the user is asked again.
//
// Lives on the thread that created it (the GUI thread in the program); the bus connection's
// events must run there.

#include "source_options.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QSize>
#include <QString>
#include <QVariantMap>

#include <chrono>
#include <functional>

class QDBusMessage;
class QTimer;

namespace capture {

// What the user is asked to share. Wire values of the portal's source types.
enum class ScreenCastSourceType : quint32 {
    Monitor = 1,
    Window = 2,
};

// The pictures the portal granted: a connection to PipeWire for pw_context_connect_fd() and
// the node to read.
struct ScreenCastStream
{
    // The connection to the PipeWire daemon. Owned (closed when the last copy goes); hand a
    // duplicate to whoever takes ownership.
    QDBusUnixFileDescriptor pipeWireFd;
    quint32 nodeId = 0;
    // As the portal announced it; empty when it did not. The pictures tell the real size.
    QSize size;
    ScreenCastSourceType sourceType = ScreenCastSourceType::Monitor;
};

// How asking went; the window words it for the user (detail is for the log, and for the
// failures that say so, a part of the user's sentence).
enum class ScreenCastFailure {
    None,
    NoPortal, // no desktop portal on the session bus, or it has no screen-cast interface
    Refused, // the user said no in the portal's dialog
    WindowsNotOffered, // a window was wanted, and the desktop shares whole screens only
    NoAnswer, // the portal did not answer in time; detail: the seconds waited
    PortalError, // the portal refused a call; detail: its error message
    AnswersUnreadable, // the portal's answers cannot be subscribed to
    NotStarted, // the desktop could not start screen sharing
    NothingGranted, // the desktop granted no screen
    NoPictureConnection, // no connection to PipeWire came with the grant; detail: why, if known
    EndedBeforeStart, // the desktop ended the session before it started
    Withdrawn, // close() was called while asking
    AlreadyAsking, // a start was under way already
    NoPictures, // PipeWire could not deliver the granted screen; detail: what failed
};

struct ScreenCastOutcome
{
    ScreenCastFailure failure = ScreenCastFailure::NotStarted;
    QString detail;
    ScreenCastStream stream;

    bool ok() const { return failure == ScreenCastFailure::None; }
};

// Whether a failed call to the portal ran out of time (rather than being refused).
bool isPortalTimeout(const QDBusMessage &reply);

class PortalScreenCast : public QObject
{
    Q_OBJECT

public:
    // Calls that the portal answers itself are given this long.
    static constexpr std::chrono::milliseconds CallTimeout{ 30'000 };
    // The user's time in the portal's dialog after Start: long enough to read it, find the
    // right screen and come back from a cup of coffee, short enough that a dialog that never
    // appeared does not leave the window waiting forever.
    static constexpr std::chrono::milliseconds ChoiceTimeout{ 5 * 60'000 };

    explicit PortalScreenCast(
            QDBusConnection bus = QDBusConnection::sessionBus(), QObject *parent = nullptr);
    ~PortalScreenCast() override;

    // Where the restore token is kept: QDir::homePath() + "/.tandeo-screencast-token" unless
    // set otherwise.
    static QString defaultTokenFile();
    void setTokenFile(const QString &path) { m_tokenFile = path; }
    QString tokenFile() const { return m_tokenFile; }
    // The token stored in the file; empty when there is none.
    QString storedRestoreToken() const;

    void setTimeouts(std::chrono::milliseconds call, std::chrono::milliseconds choice)
    {
        m_callTimeout = call;
        m_choiceTimeout = choice;
    }

    // Starts asking: checks the portal, opens a session, selects what to share (a window only
    // when asked and the portal offers windows, else a monitor; the pointer drawn in when
    // options ask for it and the portal can), starts (the portal's dialog) and opens the
    // PipeWire connection. finished() follows exactly once, also for failures found at once.
    // Ignored while a start is under way.
    void start(const SourceOptions &options,
            ScreenCastSourceType type = ScreenCastSourceType::Monitor);

    // The same, waiting in a local event loop until the outcome is known (for the window's
    // Share click).
    ScreenCastOutcome startAndWait(const SourceOptions &options,
            ScreenCastSourceType type = ScreenCastSourceType::Monitor);

    bool isStarting() const { return m_step != Step::Idle && m_step != Step::Running; }
    // A stream was granted and the session is open.
    bool isRunning() const { return m_step == Step::Running; }

    // Ends the session (the portal stops the pictures). A start under way ends with Failed.
    void close();

signals:
    void finished(const capture::ScreenCastOutcome &outcome);
    // The portal or the desktop ended the running session (the user stopped sharing there).
    void sessionClosed();

private slots:
    void onResponse(uint response, const QVariantMap &results);
    void onSessionClosed(const QVariantMap &details);

private:
    enum class Step {
        Idle,
        Properties,
        CreateSession,
        SelectSources,
        Start,
        OpenRemote,
        Running,
    };

    void begin(const SourceOptions &options, ScreenCastSourceType type);
    // Calls a portal method; answered() gets the reply (an error reply included).
    void call(const QDBusMessage &message, std::function<void(const QDBusMessage &)> answered);
    // Calls a method that answers through a request object: subscribes to the request's
    // Response first, then calls; onResponse() continues.
    void callWithRequest(const QString &method, const QVariantList &arguments, const QString &token,
            std::chrono::milliseconds responseTimeout);
    bool subscribeResponse(const QString &path);
    void unsubscribeResponse();

    void readProperties(const QDBusMessage &reply);
    void createSession();
    void selectSources();
    void startSession();
    void openRemote(const QVariantMap &startResults);
    void storeRestoreToken(const QString &token);
    void forgetRestoreToken();

    void fail(ScreenCastFailure failure, const QString &detail);
    void finish(ScreenCastOutcome outcome);
    void closeSession();
    QString newToken();

    QDBusConnection m_bus;
    QString m_tokenFile;
    std::chrono::milliseconds m_callTimeout = CallTimeout;
    std::chrono::milliseconds m_choiceTimeout = ChoiceTimeout;
    QTimer *m_responseTimer = nullptr;

    Step m_step = Step::Idle;
    quint64 m_generation = 0; // bumps on every close, so late replies of old calls are dropped
    SourceOptions m_options;
    ScreenCastSourceType m_wantedType = ScreenCastSourceType::Monitor;
    quint32 m_version = 0;
    quint32 m_sourceTypes = 0;
    quint32 m_cursorModes = 0;

    QString m_requestPath; // the request whose Response is awaited
    QString m_sessionPath;
    bool m_sessionSubscribed = false;
    ScreenCastStream m_stream;
    bool m_restoreTokenSent = false; // this session offered the stored token
    bool m_retriedWithoutToken = false;
};

} // namespace capture

Q_DECLARE_METATYPE(capture::ScreenCastOutcome)

#endif // TANDEO_CAPTURE_PORTAL_SCREENCAST_H
