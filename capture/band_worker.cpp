#include "band_worker.h"

namespace capture {

BandWorker::BandWorker() : m_thread([this] { loop(); }) { }

BandWorker::~BandWorker()
{
    m_quit.store(true);
    m_posted.fetch_add(1);
    m_posted.notify_one();
    m_thread.join();
}

void BandWorker::runAlongside(
        const std::function<void()> &job, const std::function<void()> &ownPart)
{
    m_job = job;
    const unsigned ticket = m_posted.fetch_add(1) + 1;
    m_posted.notify_one();
    ownPart();
    // A short spin first: the other half usually finishes within microseconds of this one.
    for (int spin = 0; spin < 2000 && m_finished.load(std::memory_order_acquire) != ticket;
            ++spin) { }
    for (unsigned seen = m_finished.load(std::memory_order_acquire); seen != ticket;
            seen = m_finished.load(std::memory_order_acquire))
        m_finished.wait(seen);
    m_job = nullptr;
}

void BandWorker::loop()
{
    unsigned handled = 0;
    for (;;) {
        m_posted.wait(handled);
        const unsigned posted = m_posted.load(std::memory_order_acquire);
        if (posted == handled)
            continue;
        if (m_quit.load())
            return;
        handled = posted;
        if (m_job)
            m_job();
        m_finished.store(handled, std::memory_order_release);
        m_finished.notify_one();
    }
}

} // namespace capture
