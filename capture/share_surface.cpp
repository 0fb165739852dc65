#include "share_surface.h"

#include "capture_log.h"
#include "desktop_capture.h"
#include "picture_box.h"
#include "portal_screen_source.h"
#include "portal_screencast.h"
#include "source_choice.h"
#include "window_capture.h"

#include <QImage>

namespace capture {

namespace {

// A thumbnail proxy stands in for the real window under the same title: look the title up
// again and grab from an empty rectangle.
constexpr char ThumbnailClass[] = "TabThumbnailWindow";

// One frame of a whole-area capture; a failed grab or encoding sends nothing rather than a
// broken or stale picture.
Grab captureWhole(DesktopCapture *capture, QSize target, Frame &frame)
{
    if (!capture)
        return Grab::NothingToShare;
    if (!capture->captureFrame(target, frame)) {
        qCWarning(lcCapture) << "no desktop picture for this frame";
        return Grab::NoPicture;
    }
    return Grab::Picture;
}

} // namespace

ShareSurface::~ShareSurface() = default;

QSize ShareSurface::announcedSize(bool zmtFamily)
{
    return scaledDesktopSize(size(), zmtFamily);
}

// The X server's desktop.

DesktopSurface::DesktopSurface(const SourceOptions &options)
    : ShareSurface(Kind::Desktop),
      m_options(options)
{
}

DesktopSurface::~DesktopSurface() = default;

DesktopCapture &DesktopSurface::desktop()
{
    if (!m_capture)
        m_capture = std::make_unique<DesktopCapture>(openDesktopSource(m_options));
    return *m_capture;
}

QSize DesktopSurface::size()
{
    return desktop().desktopSize();
}

bool DesktopSurface::areaGone()
{
    return desktop().source().areaGone();
}

Grab DesktopSurface::capture(QSize target, Frame &frame)
{
    const Grab grab = captureWhole(&desktop(), target, frame);
    if (grab == Grab::NoPicture && m_capture->source().areaGone())
        emit ended(SurfaceEnd::AreaGone, m_options.monitor);
    const bool still = grab == Grab::Picture && m_capture->lastWork() == DesktopCapture::Work::Kept;
    m_stillLooks = still ? m_stillLooks + 1 : 0;
    return grab;
}

void DesktopSurface::prefetch(QSize target, Frame &frame)
{
    // On a screen that stayed still the last two looks there is nothing to ready: the pull's
    // own look would only ask the server a second time.
    if (m_stillLooks < 2)
        capture(target, frame);
}

// One application window on the X server.

WindowSurface::WindowSurface(const QString &title, x11::WindowId *handle)
    : ShareSurface(Kind::Window),
      m_title(title),
      m_handle(handle),
      m_capture(std::make_unique<WindowCapture>())
{
}

WindowSurface::~WindowSurface() = default;

x11::WindowSystem &WindowSurface::windows()
{
    // A connection the server dropped stays broken: the next frame opens a new one.
    if (!m_windows || !m_windows->isConnected())
        m_windows = std::make_unique<x11::WindowSystem>();
    return *m_windows;
}

QSize WindowSurface::size()
{
    x11::WindowSystem &system = windows();
    const std::optional<QRect> desktop = system.windowRect(system.desktopWindow());
    return desktop ? desktop->size() : QSize();
}

QImage WindowSurface::refresh()
{
    x11::WindowSystem &system = windows();
    *m_handle = system.findWindow(m_title);
    if (system.className(*m_handle) == QLatin1String(ThumbnailClass)) {
        *m_handle = 0; // the first frame looks the real window up
        return {};
    }
    if (*m_handle == 0 || *m_handle == system.desktopWindow())
        return {};
    return system.grabFrame(*m_handle);
}

Grab WindowSurface::capture(QSize target, Frame &frame)
{
    (void)target; // always Box: see frameTarget()
    x11::WindowSystem &system = windows();
    if (*m_handle == 0) {
        *m_handle = system.findWindow(m_title);
        if (*m_handle == 0) {
            emit ended(SurfaceEnd::WindowMissing, {});
            return Grab::NothingToShare;
        }
    }
    QSize grabSize(0, 0);
    if (system.className(*m_handle) == QLatin1String(ThumbnailClass)) {
        *m_handle = system.findWindow(m_title);
    } else if (const std::optional<QRect> rect = system.windowRect(*m_handle)) {
        grabSize = rect->size();
    }
    if (*m_handle == system.desktopWindow())
        return Grab::NothingToShare;
    // The window itself is read at the size of the whole window with its frame, as the picture
    // has always been taken.
    switch (m_capture->capture(system, *m_handle, grabSize, frame)) {
    case WindowCapture::Result::Captured:
        return Grab::Picture;
    case WindowCapture::Result::WindowGone:
        emit ended(SurfaceEnd::WindowClosed, {});
        return Grab::NoPicture;
    case WindowCapture::Result::NotEncoded:
        break;
    }
    return Grab::NoPicture; // an empty picture is never sent
}

// A screen or window granted by the portal.

PortalSurface::PortalSurface(Kind kind, const SourceOptions &options)
    : ShareSurface(kind),
      m_options(options)
{
}

PortalSurface::~PortalSurface()
{
    release();
}

bool PortalSurface::prepare()
{
    if (m_capture)
        return true;
    if (isAsking())
        return false; // the portal is being asked already: one question at a time
    if (kind() == Kind::PortalWindow) {
        // Whether the desktop shares single windows at all, before its dialog is opened; the
        // window goes on while the answer is awaited.
        m_typesAsked = std::make_unique<QDBusPendingCallWatcher>(askPortalSourceTypes());
        connect(m_typesAsked.get(), &QDBusPendingCallWatcher::finished, this,
                &PortalSurface::sourceTypesKnown);
        return false;
    }
    startScreenCast();
    return false;
}

void PortalSurface::sourceTypesKnown(QDBusPendingCallWatcher *answer)
{
    QString detail;
    const SurfaceFailure failure = windowSharingFailure(answer->reply(), &detail);
    m_typesAsked.release()->deleteLater(); // this runs in its signal
    if (failure != SurfaceFailure::None) {
        emit ready(failure, detail);
        return;
    }
    startScreenCast();
}

void PortalSurface::startScreenCast()
{
    m_session = std::make_unique<PortalScreenCast>();
    connect(m_session.get(), &PortalScreenCast::finished, this, &PortalSurface::granted,
            Qt::QueuedConnection);
    m_session->start(m_options,
            kind() == Kind::PortalWindow ? ScreenCastSourceType::Window
                                         : ScreenCastSourceType::Monitor);
}

void PortalSurface::granted(const ScreenCastOutcome &outcome)
{
    if (!m_session)
        return; // released while the portal was asked
    DesktopSourceChoice choice = portalSourceFrom(outcome, std::move(m_session));
    if (!choice.ok()) {
        emit ready(choice.failure, choice.detail);
        return;
    }
    // Queued: whoever hears of the end may release this surface, and with it the stream.
    connect(&choice.portal->stream(), &PipeWireStream::ended, this, &PortalSurface::endWith,
            Qt::QueuedConnection);
    if (PortalScreenCast *session = choice.portal->session())
        connect(
                session, &PortalScreenCast::sessionClosed, this,
                [this] { endWith("the portal closed the session"); }, Qt::QueuedConnection);
    m_capture = std::make_unique<DesktopCapture>(std::move(choice.source));
    emit ready(SurfaceFailure::None, {});
}

void PortalSurface::endWith(const QString &detail)
{
    if (m_capture)
        emit ended(SurfaceEnd::DesktopEnded, detail);
}

QSize PortalSurface::size()
{
    return m_capture ? m_capture->desktopSize() : QSize();
}

Grab PortalSurface::capture(QSize target, Frame &frame)
{
    return captureWhole(m_capture.get(), target, frame);
}

void PortalSurface::release()
{
    m_typesAsked.reset(); // its late answer is dropped
    if (m_session) {
        // Withdraws the question: the portal closes its dialog, and its late answer is dropped.
        disconnect(m_session.get(), nullptr, this, nullptr);
        m_session->close();
        m_session.reset();
    }
    m_capture.reset();
}

} // namespace capture
