#ifndef TANDEO_TESTS_WAYLAND_FIXTURE_H
#define TANDEO_TESTS_WAYLAND_FIXTURE_H

// What the Wayland capture tests share: the PipeWire daemon of the test stack
// (scripts/wayland_stack.sh), picture producers started in it, and checks of picture colours.
// Outside the stack the tests skip.

#include "frame_scaler.h"

#include <QColor>
#include <QDBusConnection>
#include <QProcess>
#include <QSize>
#include <QString>
#include <QTemporaryFile>

#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace waylandtest {

// The PipeWire daemon's socket of this session; empty when there is none.
QString pipeWireSocketPath();
// A new connection to it (the caller owns the descriptor); -1 when it cannot be made.
int connectPipeWire();

// The colour of the pixel at (x, y) of a picture in PixelView's layout.
QColor pixelAt(const capture::PixelView &picture, int x, int y);
// Whether every channel differs by at most tolerance.
bool near(const QColor &seen, const QColor &expected, int tolerance = 2);

// A test runs only inside the stack: a PipeWire daemon and a session bus.
class PipeWireTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts a producer of a flat colour in the given raw layout ("BGRx", "BGRA", "RGBx");
    // returns its node's id once the node is there, 0 when it did not appear.
    quint32 startProducer(const QString &format, QSize size, QColor colour);
    // Ends the producer: its node goes away.
    void stopProducer();

    std::unique_ptr<QProcess> m_producer;
    QString m_producerName;
};

// A session bus of its own, with nobody on it but whoever the test puts there.
class PrivateBus
{
public:
    PrivateBus();
    ~PrivateBus();

    bool isUp() const { return m_up; }
    // A new connection to the bus (each one a client of its own).
    QDBusConnection connect();

private:
    QTemporaryFile m_config;
    QProcess m_daemon;
    QString m_address;
    QStringList m_connections;
    bool m_up = false;
};

} // namespace waylandtest

#endif // TANDEO_TESTS_WAYLAND_FIXTURE_H
