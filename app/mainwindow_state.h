#ifndef TANDEO_APP_MAINWINDOW_STATE_H
#define TANDEO_APP_MAINWINDOW_STATE_H

// State of the main-window module shared by the login, share and frame flows, one copy per
// process. Plain variables are touched by the GUI thread only. The std::atomic<bool> flags are
// also written by the control channel's receive thread: each write stores a constant and
// nothing relies on the order in which two flags become visible to the other thread.

#include <QByteArray>
#include <QMutex>
#include <QString>

#include <atomic>
#include <cstdint>

class QTimer;
struct _ZelRtpSession;

// An X11 window id standing in for a native window handle; 0 is "no window".
using NativeWindow = std::uint32_t;

extern QTimer *keepAliveTimer;
extern QString strIP; // unit address of the logged-in profile, as stored
extern QString strDevice; // local host name sent as the device in unit commands
extern QString strSessionID; // session id from the accepted login
extern QString strErrorCode; // error code of the last login reply
extern int shareMode; // 0 the desktop, 1 one application window
extern QByteArray jpegImg; // JPEG bytes of the picture being sent
extern QMutex finishMutex; // held while the login reply handlers clear b_finish_ret
extern int keepAliveMissCount; // keep-alive ticks without a reply
extern std::atomic<bool> b_requestShare;
extern std::atomic<bool> b_shareStopped;
extern bool b_loginDone;
extern std::atomic<bool> b_sendImg;
extern std::atomic<bool> b_triggerBtnStop;
extern std::atomic<bool> b_ctrlReady;
extern std::atomic<bool> b_ctrlWait;
extern bool b_progressOn;
extern std::atomic<bool> b_shareReject;
extern std::atomic<bool> b_shareAccept;
extern bool b_loggedIn;
extern std::atomic<bool> b_enableBtnStop;
extern std::atomic<bool> b_enableBtnShare;
extern bool b_finish_ret;
extern bool b_zmtFamily; // family of the logged-in unit: true ZMT, false QMT
extern NativeWindow selectedHwnd;
extern QString strAppTitle; // exact title of the chosen application window
extern _ZelRtpSession *rtpSession;
extern int progressValue;
extern int shareFrameCount;

// Every variable above back to its start value, as a new process has them. For tests that
// open one window after another in one process; the timer and the RTP session are forgotten,
// not released (their window released them).
void resetModuleState();

#endif // TANDEO_APP_MAINWINDOW_STATE_H
