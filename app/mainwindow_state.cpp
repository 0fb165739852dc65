#include "mainwindow_state.h"

QTimer *keepAliveTimer = nullptr;
QString strIP;
QString strDevice;
QString strSessionID;
QString strErrorCode;
int shareMode = 0;
QByteArray jpegImg;
QMutex finishMutex;
int keepAliveMissCount = 0;
std::atomic<bool> b_requestShare{ false };
std::atomic<bool> b_shareStopped{ false };
bool b_loginDone = false;
std::atomic<bool> b_sendImg{ false };
std::atomic<bool> b_triggerBtnStop{ false };
std::atomic<bool> b_ctrlReady{ false };
std::atomic<bool> b_ctrlWait{ false };
bool b_progressOn = false;
std::atomic<bool> b_shareReject{ false };
std::atomic<bool> b_shareAccept{ false };
bool b_loggedIn = false;
std::atomic<bool> b_enableBtnStop{ false };
std::atomic<bool> b_enableBtnShare{ false };
bool b_finish_ret = false;
bool b_zmtFamily = false;
NativeWindow selectedHwnd = 0;
QString strAppTitle;
_ZelRtpSession *rtpSession = nullptr;
int progressValue = 0;
int shareFrameCount = 0;

void resetModuleState()
{
    keepAliveTimer = nullptr;
    strIP.clear();
    strDevice.clear();
    strSessionID.clear();
    strErrorCode.clear();
    shareMode = 0;
    jpegImg.clear();
    keepAliveMissCount = 0;
    for (std::atomic<bool> *flag : { &b_requestShare, &b_shareStopped, &b_sendImg,
                 &b_triggerBtnStop, &b_ctrlReady, &b_ctrlWait, &b_shareReject, &b_shareAccept,
                 &b_enableBtnStop, &b_enableBtnShare })
        *flag = false;
    for (bool *flag : { &b_loginDone, &b_progressOn, &b_loggedIn, &b_finish_ret, &b_zmtFamily })
        *flag = false;
    selectedHwnd = 0;
    strAppTitle.clear();
    rtpSession = nullptr;
    progressValue = 0;
    shareFrameCount = 0;
}
