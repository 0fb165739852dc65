#ifndef ZELRTP_JPEG_PACKETIZER_H
#define ZELRTP_JPEG_PACKETIZER_H

// Builds the payloads of one JPEG frame: no sockets, no clocks, no oRTP.
//
// Every payload is exactly PayloadBytes long:
//
//   0               1               2               3
//  +---------------+---------------+---------------+---------------+
//  | type-specific |              fragment offset (24 bits)        |
//  +---------------+---------------+---------------+---------------+
//  |     type      |       Q       | width / 8     | height / 8    |
//  +---------------+---------------+---------------+---------------+
//  |     restart interval          |F|L|     restart count         |  restart interval != 0
//  +---------------+---------------+---------------+---------------+
//  |      MBZ      |   precision   |        table length (128)     |  first packet, Q >= 128
//  +---------------+---------------+---------------+---------------+
//  |   64 bytes luma table, 64 bytes chroma table                  |  first packet, Q >= 128
//  +---------------------------------------------------------------+
//  |   JPEG bytes; after the last of them, zero bytes to the end   |
//  +---------------------------------------------------------------+

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace zelrtp {

constexpr std::size_t PayloadBytes = 1400;
constexpr std::size_t MainHeaderBytes = 8;
constexpr std::size_t RestartHeaderBytes = 4;
constexpr std::size_t QuantHeaderBytes = 4;
constexpr std::size_t QuantTableBytes = 64;
constexpr std::uint8_t FirstInBandQ = 128; // Q values from here on carry their tables
constexpr std::uint8_t RestartTypeFlag = 0x40;
constexpr std::uint8_t JpegPayloadType = 26;

// How a frame is announced. The table pointers are read only when q >= FirstInBandQ and must
// then point at 64 bytes each.
struct JpegFrameParams
{
    std::uint8_t type = 1;
    std::uint8_t typeSpecific = 0;
    int width = 1024; // pixels; travels as (width + 7) / 8, low 8 bits
    int height = 768; // pixels; travels as (height + 7) / 8, low 8 bits
    int restartInterval = 0; // MCUs; 0 means no restart header
    std::uint8_t q = 90;
    const std::uint8_t *lumaTable = nullptr;
    const std::uint8_t *chromaTable = nullptr;
};

enum class PacketizeError : std::uint8_t {
    None,
    MissingQuantTable, // q >= 128 but a table pointer is null
};

struct PayloadFill
{
    std::size_t offset = 0; // fragment offset of this payload's first JPEG byte (untruncated)
    std::size_t dataBytes = 0; // JPEG bytes in this payload
    bool last = false; // the frame's last payload: zero padded, sent with the marker
};

// Walks one frame payload by payload. The JPEG bytes are not copied or kept beyond the span,
// which must stay valid while the packetizer is used.
class JpegPacketizer
{
public:
    JpegPacketizer(const JpegFrameParams &params, std::span<const std::uint8_t> jpeg);

    // MissingQuantTable when the frame needs tables that are not there; nothing may be sent.
    // An empty frame is never in error: it has no payloads.
    PacketizeError error() const { return m_error; }
    bool done() const { return m_error != PacketizeError::None || m_offset >= m_jpeg.size(); }
    // How many payloads the whole frame takes (0 for an empty frame or in error).
    std::size_t payloadCount() const;

    // Writes the next payload into out and advances. Must not be called when done().
    PayloadFill fillNext(std::span<std::uint8_t, PayloadBytes> out);

private:
    bool carriesTables() const { return m_params.q >= FirstInBandQ; }

    JpegFrameParams m_params;
    std::span<const std::uint8_t> m_jpeg;
    std::array<std::uint8_t, MainHeaderBytes + RestartHeaderBytes> m_header{};
    std::size_t m_headerBytes = MainHeaderBytes;
    std::size_t m_offset = 0;
    PacketizeError m_error = PacketizeError::None;
};

// The JPEG data room of a payload: 1392, 1388 with a restart header, 132 bytes less in a first
// payload that carries the tables.
std::size_t dataRoom(const JpegFrameParams &params, bool firstPayload);

// Width or height as the one-byte block count of the header.
std::uint8_t blockCountByte(int pixels);

// All payloads of a frame at once (empty when in error or for an empty frame).
std::vector<std::array<std::uint8_t, PayloadBytes>> packetizeJpeg(
        const JpegFrameParams &params, std::span<const std::uint8_t> jpeg);

} // namespace zelrtp

#endif // ZELRTP_JPEG_PACKETIZER_H
