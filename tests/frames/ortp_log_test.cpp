// oRTP's own log goes into the program's category "tandeo.ortp" at debug level: nothing by
// default, oRTP's text once switched on, and never oRTP's own printing to standard output.

#include "ortp_log.h"

#include <QLoggingCategory>
#include <QStringList>

#include <gtest/gtest.h>
#include <ortp/ortp.h>

namespace {

QStringList seen;

void record(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    seen.append(QStringLiteral("%1 %2 %3").arg(context.category).arg(int(type)).arg(text));
}

// A payload type its profile lacks: oRTP warns when asked about the feedback profile.
void provokeWarning()
{
    RtpSession *session = rtp_session_new(RTP_SESSION_SENDONLY);
    rtp_session_set_payload_type(session, 127);
    rtp_session_avpf_enabled(session);
    rtp_session_destroy(session);
}

TEST(OrtpLog, WarningsAreDebugLinesOfTheCategory)
{
    frames::routeOrtpLog();
    // The program routes before oRTP starts; oRTP's init must keep the route.
    ortp_init();
    const QtMessageHandler previous = qInstallMessageHandler(record);

    QLoggingCategory::setFilterRules("tandeo.*.debug=false");
    provokeWarning();
    EXPECT_EQ(seen, QStringList());

    QLoggingCategory::setFilterRules("tandeo.ortp.debug=true");
    provokeWarning();
    qInstallMessageHandler(previous);
    ortp_exit();
    ASSERT_EQ(seen.size(), 1) << seen.join('\n').toStdString();
    EXPECT_TRUE(seen.first().startsWith(QStringLiteral("tandeo.ortp %1 ortp: ").arg(QtDebugMsg)))
            << seen.first().toStdString();
    EXPECT_TRUE(seen.first().endsWith("payload type not set, unreliable result returned."));
}

} // namespace
