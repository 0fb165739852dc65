#include "jpeg_packetizer.h"

#include <algorithm>
#include <cstring>

namespace zelrtp {

std::uint8_t blockCountByte(int pixels)
{
    // In 64 bits so that pixel counts near the int limit do not overflow on the way.
    const std::int64_t blocks = (static_cast<std::int64_t>(pixels) + 7) / 8;
    return static_cast<std::uint8_t>(blocks & 0xFF);
}

std::size_t dataRoom(const JpegFrameParams &params, bool firstPayload)
{
    std::size_t header = MainHeaderBytes;
    if (params.restartInterval != 0)
        header += RestartHeaderBytes;
    if (firstPayload && params.q >= FirstInBandQ)
        header += QuantHeaderBytes + 2 * QuantTableBytes;
    return PayloadBytes - header;
}

JpegPacketizer::JpegPacketizer(const JpegFrameParams &params, std::span<const std::uint8_t> jpeg)
    : m_params(params),
      m_jpeg(jpeg)
{
    m_header[0] = params.typeSpecific;
    // Bytes 1 to 3 carry the fragment offset and are written per payload.
    m_header[4] = params.restartInterval != 0 ? (params.type | RestartTypeFlag) : params.type;
    m_header[5] = params.q;
    m_header[6] = blockCountByte(params.width);
    m_header[7] = blockCountByte(params.height);
    if (params.restartInterval != 0) {
        const auto interval = static_cast<std::uint16_t>(params.restartInterval);
        m_header[8] = static_cast<std::uint8_t>(interval >> 8);
        m_header[9] = static_cast<std::uint8_t>(interval);
        // F = 1 and L = 1 with restart count 0x3FFF: every payload holds whole intervals as far
        // as the receiver is concerned, which is what a frame cut at fixed sizes can promise.
        m_header[10] = 0xFF;
        m_header[11] = 0xFF;
        m_headerBytes = MainHeaderBytes + RestartHeaderBytes;
    }
    if (!jpeg.empty() && carriesTables() && (!params.lumaTable || !params.chromaTable))
        m_error = PacketizeError::MissingQuantTable;
}

std::size_t JpegPacketizer::payloadCount() const
{
    if (m_error != PacketizeError::None || m_jpeg.empty())
        return 0;
    const std::size_t first = dataRoom(m_params, true);
    if (m_jpeg.size() <= first)
        return 1;
    const std::size_t room = dataRoom(m_params, false);
    return 1 + (m_jpeg.size() - first + room - 1) / room;
}

PayloadFill JpegPacketizer::fillNext(std::span<std::uint8_t, PayloadBytes> out)
{
    std::uint8_t *p = out.data();
    std::memcpy(p, m_header.data(), m_headerBytes);
    // The offset field is 24 bits wide; frames beyond 16 MiB wrap, as receivers expect.
    p[1] = static_cast<std::uint8_t>(m_offset >> 16);
    p[2] = static_cast<std::uint8_t>(m_offset >> 8);
    p[3] = static_cast<std::uint8_t>(m_offset);
    p += m_headerBytes;

    const bool first = m_offset == 0;
    if (first && carriesTables()) {
        constexpr std::uint8_t tableHeader[QuantHeaderBytes] = { 0, 0, 0, 2 * QuantTableBytes };
        std::memcpy(p, tableHeader, QuantHeaderBytes);
        p += QuantHeaderBytes;
        std::memcpy(p, m_params.lumaTable, QuantTableBytes);
        p += QuantTableBytes;
        std::memcpy(p, m_params.chromaTable, QuantTableBytes);
        p += QuantTableBytes;
    }

    const std::size_t room = static_cast<std::size_t>(out.data() + PayloadBytes - p);
    const std::size_t remaining = m_jpeg.size() - m_offset;
    const std::size_t take = std::min(room, remaining);
    std::memcpy(p, m_jpeg.data() + m_offset, take);
    const bool last = take == remaining;
    if (last)
        std::memset(p + take, 0, room - take);

    const PayloadFill fill{ m_offset, take, last };
    m_offset += take;
    return fill;
}

std::vector<std::array<std::uint8_t, PayloadBytes>> packetizeJpeg(
        const JpegFrameParams &params, std::span<const std::uint8_t> jpeg)
{
    JpegPacketizer packetizer(params, jpeg);
    std::vector<std::array<std::uint8_t, PayloadBytes>> payloads(packetizer.payloadCount());
    for (auto &payload : payloads)
        packetizer.fillNext(payload);
    return payloads;
}

} // namespace zelrtp
