#ifndef TANDEO_CAPTURE_SHARE_SURFACE_H
#define TANDEO_CAPTURE_SHARE_SURFACE_H

// What one share shows the unit, owned with its capture for the share's length: the X server's
// desktop, one application window on it, or a screen or window the desktop's screen-cast portal
// granted. source_choice.h picks the kind for the session and the user's choice; the frame pump
// pulls pictures from it without knowing which kind it is.
//
//   prepare() ─▶ [ready() later, when the desktop asks the user] ─▶ size() ─▶ capture()… ─▶
//   release()                      ended(reason) whenever the surface goes away meanwhile
//
// Used from the GUI thread.

#include "frame.h"
#include "portal_screencast.h"
#include "source_options.h"
#include "window_system.h"

#include <QDBusPendingCallWatcher>
#include <QObject>
#include <QSize>

#include <memory>

namespace capture {

class DesktopCapture;
class WindowCapture;

// What a surface found for one frame.
enum class Grab {
    Picture, // the frame holds a new picture: it goes to the unit
    NoPicture, // nothing to send this time (a failed grab, a closed window); the unit is still
               // told, and pulls again
    NothingToShare, // the surface is gone: the share ends
};

// Why a surface could not be made ready: only the desktop's portal can fail to give one.
using SurfaceFailure = ScreenCastFailure;

// Why a surface went away while it was shared.
enum class SurfaceEnd {
    DesktopEnded, // the desktop stopped the screen cast (its stream or its portal session)
    WindowMissing, // the chosen application window is not there
    WindowClosed, // the chosen application window closed while it was shared
    AreaGone, // the chosen monitor is no longer there
};

class ShareSurface : public QObject
{
    Q_OBJECT

public:
    enum class Kind {
        Desktop, // the X server's whole desktop
        Window, // one application window on the X server
        PortalScreen, // a screen the portal granted
        PortalWindow, // a window the portal granted
    };

    ~ShareSurface() override;

    Kind kind() const { return m_kind; }
    // Granted by the desktop's portal (a Wayland desktop) rather than read from the X server.
    bool isPortal() const { return m_kind == Kind::PortalScreen || m_kind == Kind::PortalWindow; }
    // The surface's size; empty while it is not ready.
    virtual QSize size() = 0;
    // The picture size the unit is told at share start: size() fitted into the unit family's
    // box.
    QSize announcedSize(bool zmtFamily);
    // What capture() is given for the whole share; the announced size unless the surface's
    // pictures follow a rule of their own.
    virtual QSize frameTarget(bool zmtFamily) { return announcedSize(zmtFamily); }

    // Makes the surface ready to capture. True when it is ready now; false when the desktop has
    // to ask the user first: ready() then follows once, through the event loop.
    virtual bool prepare() { return true; }
    virtual bool isReady() const { return true; }

    // One picture: a surface of the whole desktop scales into exactly target (the size fixed at
    // share start), a window is fitted into target keeping its aspect ratio.
    virtual Grab capture(QSize target, Frame &frame) = 0;

    // Between a picture's last packet and the unit's next pull: readies the next picture in
    // frame where the surface can tell at the pull whether it is still current (a whole-area
    // capture keeps its last file while nothing is drawn), so the pull then costs a round trip
    // instead of the encoding, and the link does not wait for it.
    virtual void prefetch(QSize target, Frame &frame)
    {
        (void)target;
        (void)frame;
    }

    // The share ended: a surface the desktop granted gives it back (and a pending question is
    // withdrawn, its dialog closed); an X server surface keeps its connection for the next share.
    virtual void release() { }

signals:
    void ready(capture::SurfaceFailure failure, const QString &detail);
    void ended(capture::SurfaceEnd reason, const QString &detail);

protected:
    explicit ShareSurface(Kind kind) : m_kind(kind) { }

private:
    Kind m_kind;
};

// The X server's desktop: its root window over shared memory (else Qt's grab), with the pointer
// drawn in when the options say so.
class DesktopSurface : public ShareSurface
{
    Q_OBJECT

public:
    explicit DesktopSurface(const SourceOptions &options);
    ~DesktopSurface() override;

    const SourceOptions &options() const { return m_options; }
    // The monitor it was made for is not there (any more).
    bool areaGone();
    QSize size() override;
    Grab capture(QSize target, Frame &frame) override;
    void prefetch(QSize target, Frame &frame) override;

private:
    DesktopCapture &desktop(); // the capture, made on first use

    SourceOptions m_options;
    int m_stillLooks = 0; // captures in a row that found nothing drawn
    std::unique_ptr<DesktopCapture> m_capture; // made on first use, kept between shares
};

// One application window on the X server, chosen by its exact title. Its handle is the window's
// to keep (the module's selectedHwnd): 0 means "look it up by title at the next frame".
class WindowSurface : public ShareSurface
{
    Q_OBJECT

public:
    static constexpr QSize Box{ 1024, 768 };

    WindowSurface(const QString &title, x11::WindowId *handle);
    ~WindowSurface() override;

    const QString &title() const { return m_title; }
    // The unit is told the size of the desktop the window is on, as it always was; the window's
    // pictures are fitted into Box.
    QSize frameTarget(bool) override { return Box; }
    // Looks the window up again by title (at share start); a thumbnail proxy is left to the first
    // frame. The window's picture as it is now, null when there is none.
    QImage refresh();

    QSize size() override;
    Grab capture(QSize target, Frame &frame) override;

private:
    x11::WindowSystem &windows();

    QString m_title;
    x11::WindowId *m_handle;
    std::unique_ptr<x11::WindowSystem> m_windows; // its own connection, made again when it broke
    std::unique_ptr<WindowCapture> m_capture;
};

// A screen or a window granted by the desktop's screen-cast portal and read from PipeWire. The
// portal is asked in prepare(); its dialog may take minutes, and the window goes on meanwhile.
class PortalSurface : public ShareSurface
{
    Q_OBJECT

public:
    PortalSurface(Kind kind, const SourceOptions &options);
    ~PortalSurface() override;

    QSize size() override;
    bool prepare() override;
    bool isReady() const override { return m_capture != nullptr; }
    Grab capture(QSize target, Frame &frame) override;
    void prefetch(QSize target, Frame &frame) override { capture(target, frame); }
    void release() override;

    // The portal is being asked (whether it shares windows, or for a source).
    bool isAsking() const { return m_typesAsked || (m_session && !m_capture); }

private:
    void sourceTypesKnown(QDBusPendingCallWatcher *answer);
    void startScreenCast();
    void granted(const ScreenCastOutcome &outcome);
    void endWith(const QString &detail);

    SourceOptions m_options;
    std::unique_ptr<QDBusPendingCallWatcher> m_typesAsked; // before a window is asked for
    std::unique_ptr<PortalScreenCast> m_session; // while the portal is asked
    std::unique_ptr<DesktopCapture> m_capture; // once granted; owns the session from then on
};

} // namespace capture

#endif // TANDEO_CAPTURE_SHARE_SURFACE_H
