#ifndef TANDEO_FRAMES_FRAME_SENDER_H
#define TANDEO_FRAMES_FRAME_SENDER_H

// The packets of a picture leave on a thread of their own: the library paces them to the link,
// and on a 5 Mbit/s link a 200 KB picture takes a third of a second, which the GUI thread must
// not spend waiting. One picture at a time; the next is handed over once the last has left.

#include <QByteArray>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

struct _ZelRtpSession;

namespace frames {

enum class SendOutcome {
    Sent, // the last packet went to the kernel (or the library gave up on an error of its own)
    Cancelled, // cancel() stopped it; the rest of the picture was not sent
    Stalled, // the link took nothing for 2 s; the rest of the picture was not sent
    Refused, // the system took none of its packets (a firewall, no route to the unit)
};

class FrameSender
{
public:
    // Runs on the sending thread once the picture has left or stopped.
    using Done = std::function<void(SendOutcome)>;

    FrameSender();
    ~FrameSender(); // cancels a picture still leaving and ends the thread
    FrameSender(const FrameSender &) = delete;
    FrameSender &operator=(const FrameSender &) = delete;

    // Hands jpeg to the thread for session (announced as 1024 x 768, as every picture is).
    // Waits first until the picture before it has left.
    void send(_ZelRtpSession *session, const QByteArray &jpeg, Done done);
    // Until no picture is leaving.
    void wait();
    // The picture leaving now stops before its next packet; returns once it has, with the
    // outcome of the picture handed over last (none before the first).
    std::optional<SendOutcome> cancel();

private:
    struct Job
    {
        _ZelRtpSession *session = nullptr;
        QByteArray jpeg;
        Done done;
    };

    void run();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::optional<Job> m_job; // handed over, not yet finished
    bool m_started = false; // the thread is sending m_job
    std::optional<SendOutcome> m_lastOutcome; // of the picture handed over last, once finished
    bool m_quit = false;
    std::thread m_thread;
};

} // namespace frames

#endif // TANDEO_FRAMES_FRAME_SENDER_H
