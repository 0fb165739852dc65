#ifndef TANDEO_UNITSIM_RTP_ENDPOINT_H
#define TANDEO_UNITSIM_RTP_ENDPOINT_H

// The unit's RTP JPEG receiver: one thread only takes the datagrams off the socket, as an
// embedded unit's network stack does; a second one reassembles the frames, checks each
// (decodes its picture), saves the valid ones when a save folder is set, and records packets
// and frames in the order they came.

#include <atomic>

namespace unitsim {

class UnitRecorder;

class RtpEndpoint
{
public:
    RtpEndpoint(UnitRecorder &recorder, int socketFd, int wakeFd, const std::atomic<bool> &stopping)
        : m_recorder(recorder),
          m_socketFd(socketFd),
          m_wakeFd(wakeFd),
          m_stopping(stopping)
    {
    }

    // Receives until stopping is set and wakeFd becomes readable; then records the frame
    // still being reassembled.
    void run();

private:
    UnitRecorder &m_recorder;
    int m_socketFd;
    int m_wakeFd;
    const std::atomic<bool> &m_stopping;
};

} // namespace unitsim

#endif // TANDEO_UNITSIM_RTP_ENDPOINT_H
