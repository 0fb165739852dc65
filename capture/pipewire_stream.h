#ifndef TANDEO_CAPTURE_PIPEWIRE_STREAM_H
#define TANDEO_CAPTURE_PIPEWIRE_STREAM_H

// Pictures of a PipeWire video node, as the screen-cast portal hands them out: a connection to
// the PipeWire daemon (a socket) and the number of the node to read.
//
// The stream runs on a PipeWire thread of its own. It asks for raw 32-bit pictures (BGRx,
// BGRA or RGBx, any size and rate) in memory buffers, and copies the newest one of every
// burst into a picture of its own, converted to the layout PixelView describes (bytes blue,
// green, red, unused) with rows packed. The owner takes the newest picture whenever it wants
// one; pictures it did not take are simply replaced.
//
// When the node goes away (the user stopped sharing, the desktop ended the session) or the
// connection fails, the stream ends: ended() is emitted once, queued to the thread the stream
// lives on, and no picture arrives any more.

#include <QObject>
#include <QSize>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace capture {

// One picture in PixelView's layout.
struct StreamPicture
{
    std::vector<std::uint8_t> pixels;
    int width = 0;
    int height = 0;
    int strideBytes = 0;
    // Counts the stream's pictures from 1; 0 for none.
    std::uint64_t serial = 0;

    QSize size() const { return QSize(width, height); }
};

class PipeWireStream : public QObject
{
    Q_OBJECT

public:
    explicit PipeWireStream(QObject *parent = nullptr);
    // Stops the stream (waits for the PipeWire thread).
    ~PipeWireStream() override;

    // Connects to the daemon over a duplicate of fd (the caller keeps fd) and asks for the
    // pictures of node nodeId. False with what failed in error (for the log) when the connection or
    // the stream cannot be made; the stream may still end later if the node cannot be reached.
    bool start(int fd, std::uint32_t nodeId, QString *error = nullptr);
    // Disconnects; ended() is not emitted for this.
    void stop();

    // Swaps the newest picture into picture when it is newer than what picture holds (by
    // serial); picture's old buffer is reused for a later one. False when there is nothing
    // newer. Meant for one taker.
    bool takeNewest(StreamPicture &picture);
    // Waits until at least one picture has arrived or the stream ended. True when a picture
    // is there.
    bool waitForPicture(std::chrono::milliseconds timeout);
    // Pictures received so far (every one the node sent, taken or not); also the serial of
    // the newest.
    std::uint64_t picturesReceived() const { return m_received.load(); }

    // The picture size agreed with the node; empty before that.
    QSize negotiatedSize() const;
    // The pixel layout agreed with the node ("BGRx", "BGRA" or "RGBx"); empty before that.
    QString negotiatedFormat() const;

    bool hasEnded() const { return m_ended.load(); }
    // Why the stream ended (for the log); empty while it runs.
    QString endReason() const;

signals:
    void ended(const QString &reason);

private:
    struct Impl;
    friend struct Impl;

    // From the PipeWire thread: the first call marks the end and queues ended().
    void endWith(const QString &reason);

    std::unique_ptr<Impl> m_impl;

    mutable std::mutex m_mutex;
    std::condition_variable m_arrived;
    StreamPicture m_newest; // under m_mutex
    QSize m_negotiatedSize; // under m_mutex
    QString m_format; // under m_mutex
    QString m_endReason; // under m_mutex
    std::atomic<std::uint64_t> m_received{ 0 };
    std::atomic<bool> m_ended{ false };
};

} // namespace capture

#endif // TANDEO_CAPTURE_PIPEWIRE_STREAM_H
