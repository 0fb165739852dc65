#ifndef TANDEO_APP_MAINWINDOW_H
#define TANDEO_APP_MAINWINDOW_H

#include "flow_timings.h"
#include "frame_pump.h"
#include "idle_inhibitor.h"
#include "share_surface.h"
#include "source_options.h"

#include <QMainWindow>
#include <QNetworkReply>

#include <memory>

class QCloseEvent;
class QComboBox;
class QNetworkAccessManager;
class QPixmap;
class QTimer;
class dlgTasklist;

namespace Ui {
class MainWindow;
}

// The one window of the program and the hub of a session: it owns the form, every timer and
// network access manager, and runs the login, share and frame flows. The state it shares with
// the control channel's receive thread lives in mainwindow_state.h.
//
// The slots keep their historic names and their order: index 0 is closeEvent, 24 slotTimeout.
// Everything here runs on the GUI thread.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Puts the module's shared state (mainwindow_state.h) in its start value.
    explicit MainWindow(QWidget *parent = nullptr, const FlowTimings &timings = {});
    ~MainWindow() override;

    const FlowTimings &flowTimings() const { return timings; }

    // How the desktop picture is taken (the command line's choices). Takes effect at the next
    // Share.
    void setShareOptions(const capture::SourceOptions &options) { shareOptions = options; }

    // Modal information box over this window with one OK button that is also the default.
    void showInfo(const QString &title, const QString &text);
    // The same box without blocking: it stays up while the window goes on working.
    void showNotice(const QString &title, const QString &text);

    // Page switching and the login wait.
    void showLoginPage();
    void hideLoginPage();
    void showSharePage();
    void hideSharePage();
    void beginLoginWait();
    void endLoginWait();

    // Profile store: each opens database.dat, runs one statement, refreshes the lists.
    void loadProfileList();
    void deleteProfile(const QString &id);
    void insertProfile(const QString &title, const QString &ip, const QString &pw);
    void updateProfile(
            const QString &id, const QString &title, const QString &ip, const QString &pw);
    void editProfile(const QString &id);
    // The "Database Error" box with the driver's text (no parent, OK, no default button).
    void showDatabaseError(const QString &driverText);

    // Share flow: opens the control channel and announces the picture size.
    void establishConnect();

    // Capture: one picture of the shared surface, encoded and handed to the RTP stream.
    // Returns 0 when there is nothing to share, 1 otherwise.
    int captureAndSendFrame();
    // Looks the chosen application window up again at share start (selectedHwnd); its picture
    // goes to sharedPixmap while the share flow holds one.
    void grabSelectedWindow();
    // captureAndSendFrame() for the application window titled strAppTitle, whatever the share
    // page shows.
    int captureSelectedWindowFrame();
    // The X server's application window titled strAppTitle as the surface (kept while the
    // title stays).
    capture::WindowSurface &applicationWindowSurface();

    // The unit ended the control connection (its MSG_DISCONNECT or a broken connection): a
    // running share, or a stop still waiting for the unit's answer, ends with a notice and
    // Share back; the next Share connects anew.
    void handleUnitLeft();
    // The receive thread's wake-up (queued to the GUI thread): runs the frame slots now
    // instead of at their next tick.
    void runRequestedFrames();
    // The desktop ended the screen cast of a Wayland share (the PipeWire stream went, or the
    // portal closed the session): a running share stops as Stop does, with a notice.
    void handleShareSourceEnded(const QString &reason);
    // The desktop's dialog answered (a screen or window granted, or why not).
    void surfaceReady(capture::SurfaceFailure failure, const QString &detail);
    // The shared surface went away: a window that closed ends the share as Stop does, with a
    // box; a screen cast the desktop ended, as handleShareSourceEnded().
    void surfaceEnded(capture::SurfaceEnd reason, const QString &detail);

    // The program is asked to end (SIGTERM, SIGINT, SIGHUP): a session with the unit is logged
    // out as the Logout button does it, with at most 2 s for the logout request, then the
    // program ends with status 0. A second request ends it at once.
    void endOnSignal(int signalNumber);

public slots:
    void closeEvent(QCloseEvent *event) override;
    void finished(QNetworkReply *reply);
    void finishedForZMT(QNetworkReply *reply);
    void finishedFWVersion(QNetworkReply *reply);
    void finishedFWVersionZMT(QNetworkReply *reply);
    void finishedCloseEvent(QNetworkReply *reply);
    void slotError(QNetworkReply::NetworkError code);
    void SendFirtSharedImg();
    void SendKeepAlive();
    void SendSharedImg();
    void triggerBtnStop();
    void enableBtnStop();
    void enableBtnShare();
    void on_BtnStop_clicked();
    void on_BtnShare_clicked();
    void on_BtnEdit_clicked();
    void on_BtnDel_clicked();
    void on_BtnSelectApp_clicked();
    void on_BtnAdd_clicked();
    void on_BtnLogout_clicked();
    void on_BtnLogin_clicked();
    void on_QRadioBtnApp_clicked();
    void on_QRadioBtnDesktop_clicked();
    void slotProgressBar();
    void slotTimeout();

private:
    void applySkin();
    // Keys, the focus ring, what the accessibility tree leaves out and double clicks
    // (mainwindow_keys.cpp).
    void setUpKeyboard();

    // Members added by the share flow and the capture go below, each in its own block.

    // Share flow and frames (mainwindow_frames.cpp). The surface for the share page's choice:
    // the one kept from the last share where it still serves (the X server's desktop keeps its
    // connection, shared memory and buffers from share to share), else a new one.
    capture::ShareSurface *surfaceForChoice();
    void adoptSurface(std::unique_ptr<capture::ShareSurface> surface);
    // The surface goes: released, and deleted once control is back in the event loop.
    void dropSurface();
    // The Share click after the surface is ready: the control channel, MSG_SHARE, the answer.
    void shareWithSurface();
    // The flow's boxes (no parent, modal, one OK button).
    void showShareWarning(const QString &text);
    // A warning without a parent and without blocking: the frame timers keep running under it.
    static void showNonModalWarning(const QString &text);
    // The one place the user's sentences about a surface are made.
    static QString surfaceSentence(capture::SurfaceFailure failure, const QString &detail);
    // Logout and the end of the program: a question still before the user is withdrawn (the
    // desktop closes its dialog) and its answer never goes on to the unit.
    void withdrawSurfaceQuestion();
    // The stop paths: the pump lets go of the surface; a Wayland screen cast ends with its share
    // (the next share is granted again through the kept restore token, without asking).
    void releaseShareSource();
    // The picker's question to the portal answered (mainwindow_picker.cpp).
    void windowChosenThroughPortal(capture::SurfaceFailure failure, const QString &detail);
    // At logout: the RTP session and the link go.
    void releaseFrameLink();
    // MSG_FRAME_SENT for a pull answered without a picture on its way; one on its way is
    // reported by handleFrameLeft() once it has left. A picture that had no RTP session to
    // go with, or that the system refused whole, is not reported: the share ends instead, with
    // the box's sentence.
    void reportFrameUnlessLeaving();
    void endShareUnsent(const char *why);
    // A picture's packets have all gone to the kernel, or the link took none for 2 s.
    void handleFrameLeft(frames::SendOutcome outcome);
    // The stop paths: a picture still leaving dropped and the frame timers off, then Stop off
    // and the share choices back on.
    void stopFrameTimers();
    // Gives the idle inhibition of a share back (after any message a stop sends the unit).
    void letScreenSleep();
    void restoreShareChoices();

    // The screen to share on an X11 desktop of several monitors (mainwindow_monitors.cpp): the
    // drop-down beside Desktop, read again when the share page shows; its choice goes into
    // shareOptions before a desktop share (false with the box's sentence when it is gone); a
    // share whose monitor went is ended by endShareOfGoneScreen().
    void setUpMonitorChoice();
    void refreshMonitorChoice();
    bool applyMonitorChoice(QString *whyNot);
    void endShareOfGoneScreen();

    // Login: "Remote system cannot be accessed" once neither path can log in any more.
    void reportNoUnit();

    // Fields in their historic order.
    Ui::MainWindow *ui = nullptr;
    FlowTimings timings;
    QTimer *firstImgTimer = nullptr;
    QTimer *sharedImgTimer = nullptr;
    QTimer *triggerStopTimer = nullptr;
    QTimer *progressTimer = nullptr;
    QTimer *loginTimeoutTimer = nullptr;
    QTimer *enableStopTimer = nullptr;
    QTimer *enableShareTimer = nullptr;
    QPixmap *sharedPixmap = nullptr;
    dlgTasklist *taskDialog = nullptr;
    bool b_ctrlConnected = false;
    bool b_fwCheckPending = false;
    QNetworkAccessManager *qmtManager = nullptr;
    QNetworkAccessManager *qmtFwManager = nullptr;
    QNetworkAccessManager *zmtFwManager = nullptr;
    QNetworkAccessManager *zmtManager = nullptr;

    // The frame path: the pump with the login's RTP link, and what the shares show: the
    // surface of the last share (or the window chosen through the portal, until logout or its
    // end) with the options desktop surfaces are made with.
    std::unique_ptr<frames::FramePump> framePump;
    capture::SourceOptions shareOptions;
    std::unique_ptr<capture::ShareSurface> shareSurface;
    // Whose question the desktop's dialog is answering.
    enum class SurfaceWait { None, Share, Picker };
    SurfaceWait surfaceWait = SurfaceWait::None;
    QComboBox *monitorChoice = nullptr;
    // The picture size MSG_CONNECT told the unit: every desktop frame on that connection has
    // it, whatever the shared area's size is now.
    QSize announcedSize;

    // The screen kept awake from the unit's accepted share to any stop; made on first share.
    std::unique_ptr<platform::IdleInhibitor> idleInhibitor;

    // Stop went out and the unit's answer, which gives Share back, has not come yet.
    bool stopAnswerAwaited = false;

    friend class MainWindowProbe; // tests read the window's state through it
};

#endif // TANDEO_APP_MAINWINDOW_H
