#ifndef TANDEO_STANDIN_STREAM_H
#define TANDEO_STANDIN_STREAM_H

// The stand-in portal's PipeWire side: a connection to the daemon and the screen-cast nodes.
// Both live on the main thread: PipeWire's loop is iterated from Qt's event loop whenever its
// file descriptor is readable, so every PipeWire callback arrives on the main thread too.

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <pipewire/pipewire.h>
#include <spa/param/video/raw.h>
#include <vector>

class QSocketNotifier;

namespace standin {

// One context and core connected to the PipeWire daemon of the session.
class PipeWireConnection
{
public:
    // Connects to the daemon named by the environment (PIPEWIRE_REMOTE, PIPEWIRE_RUNTIME_DIR,
    // XDG_RUNTIME_DIR); nullptr with the reason in error when that fails.
    static std::unique_ptr<PipeWireConnection> open(QString *error);
    ~PipeWireConnection();

    PipeWireConnection(const PipeWireConnection &) = delete;
    PipeWireConnection &operator=(const PipeWireConnection &) = delete;

    pw_core *core() const { return m_core; }

private:
    PipeWireConnection() = default;
    void iterate();

    pw_loop *m_loop = nullptr;
    pw_context *m_context = nullptr;
    pw_core *m_core = nullptr;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

// One screen-cast node: a Video/Source stream that drives its own graph at about 30 frames a
// second and fills memory buffers (MemPtr or MemFd) with the known picture, in BGRx (offered
// first), BGRA or RGBx. Destroying it removes the node from the graph.
class SourceStream : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        int width = 1280;
        int height = 720;
        bool cursorEmbedded = false;
        QString nodeName;
        QString pictureFile; // an image shown instead of the quadrants (demonstrations)
    };

    SourceStream(PipeWireConnection &connection, const Options &options);
    ~SourceStream() override;

    // Creates and connects the stream; false with the reason in error when PipeWire refused.
    // ready() or failed() follows.
    bool start(QString *error);

    std::uint32_t nodeId() const { return m_nodeId; }
    std::uint64_t framesSent() const { return m_framesSent; }

signals:
    void ready(quint32 nodeId); // the node is in the graph and can be linked
    void failed(const QString &reason); // the stream went to its error state
    void frameSent(quint64 framesSent);

private:
    static void onStateChanged(
            void *data, pw_stream_state old, pw_stream_state state, const char *error);
    static void onParamChanged(void *data, std::uint32_t id, const spa_pod *param);
    static void onProcess(void *data);

    void formatChosen(const spa_pod *param);
    void fillBuffer();

    PipeWireConnection &m_connection;
    Options m_options;
    pw_stream *m_stream = nullptr;
    spa_hook m_listener{};
    QTimer m_frameTimer;
    spa_video_info_raw m_format{};
    std::vector<std::uint8_t> m_picture; // the whole picture in the chosen format
    int m_strideBytes = 0;
    std::uint32_t m_nodeId = SPA_ID_INVALID;
    std::uint64_t m_framesSent = 0;
    bool m_readySent = false;
};

// The picture in the given pixel format (BGRx, BGRA or RGBx), rows of width * 4 bytes.
// Overwrites a rendered picture with an image file scaled to its size; leaves it as it is
// when the file cannot be read.
void drawImage(const QString &file, spa_video_format format, int width, int height,
        std::vector<std::uint8_t> &picture);

std::vector<std::uint8_t> renderPicture(
        spa_video_format format, int width, int height, bool cursorEmbedded);

} // namespace standin

#endif // TANDEO_STANDIN_STREAM_H
