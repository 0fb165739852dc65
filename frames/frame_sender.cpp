#include "frame_sender.h"

#include "zelrtp.h"

#include <pthread.h>

namespace frames {

namespace {

SendOutcome outcomeOf(int result)
{
    switch (result) {
    case ZELRTP_FRAME_CANCELLED:
        return SendOutcome::Cancelled;
    case ZELRTP_FRAME_STALLED:
        return SendOutcome::Stalled;
    case ZELRTP_FRAME_REFUSED:
        return SendOutcome::Refused;
    default:
        // Other failures were never the unit's business: it is told and pulls again.
        return SendOutcome::Sent;
    }
}

} // namespace

FrameSender::FrameSender() : m_thread([this] { run(); }) { }

FrameSender::~FrameSender()
{
    cancel();
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void FrameSender::send(_ZelRtpSession *session, const QByteArray &jpeg, Done done)
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_job; });
    m_job = Job{ session, jpeg, std::move(done) };
    m_lastOutcome.reset();
    lock.unlock();
    m_changed.notify_all();
}

void FrameSender::wait()
{
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [this] { return !m_job; });
}

std::optional<SendOutcome> FrameSender::cancel()
{
    std::unique_lock lock(m_mutex);
    if (m_job) {
        _ZelRtpSession *session = m_job->session;
        cancelFrames(session, true);
        m_changed.wait(lock, [this] { return !m_job; });
        cancelFrames(session, false);
    }
    return m_lastOutcome;
}

void FrameSender::run()
{
    pthread_setname_np(pthread_self(), "tandeo-send"); // as top -H and profilers show it
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_quit || (m_job && !m_started); });
        if (m_quit)
            return;
        m_started = true;
        _ZelRtpSession *session = m_job->session;
        QByteArray jpeg = std::exchange(m_job->jpeg, {});
        lock.unlock();
        const int result = sendJpegFrame(session, jpeg.constData(), int(jpeg.size()));
        // The picture's bytes are let go before anyone hears it left, so the next capture
        // writes into its own buffer without a copy.
        jpeg.clear();
        lock.lock();
        const Done done = std::move(m_job->done);
        m_job.reset();
        m_started = false;
        m_lastOutcome = outcomeOf(result);
        if (done)
            done(*m_lastOutcome);
        m_changed.notify_all();
    }
}

} // namespace frames
