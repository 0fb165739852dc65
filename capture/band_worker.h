#ifndef TANDEO_CAPTURE_BAND_WORKER_H
#define TANDEO_CAPTURE_BAND_WORKER_H

// One helper thread that takes half of a picture's work while the calling thread does the
// other half. Handing over and waiting go through futex-backed atomics, so a hand-over costs
// microseconds and the helper sleeps between pictures.

#include <atomic>
#include <functional>
#include <thread>

namespace capture {

class BandWorker
{
public:
    BandWorker();
    ~BandWorker(); // finishes the job in hand, then joins
    BandWorker(const BandWorker &) = delete;
    BandWorker &operator=(const BandWorker &) = delete;

    // Runs job on the helper thread while ownPart runs on the caller's; returns when both
    // are done. Not reentrant: one caller at a time.
    void runAlongside(const std::function<void()> &job, const std::function<void()> &ownPart);

private:
    void loop();

    std::function<void()> m_job;
    std::atomic<unsigned> m_posted{ 0 };
    std::atomic<unsigned> m_finished{ 0 };
    std::atomic<bool> m_quit{ false };
    std::thread m_thread;
};

} // namespace capture

#endif // TANDEO_CAPTURE_BAND_WORKER_H
