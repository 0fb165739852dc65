#ifndef TANDEO_UNITSIM_FRAME_ASSEMBLER_H
#define TANDEO_UNITSIM_FRAME_ASSEMBLER_H

// The unit's RTP receiver without the socket: checks every datagram and puts the JPEG frames
// back together by fragment offset.
//
// One datagram, as the client sends it:
//
//   0        1        2        4           8         12
//   +--------+--------+--------+-----------+---------+----------------------------------+
//   | V=2 .. | M | PT | seq    | timestamp | SSRC    | payload, exactly 1400 bytes      |
//   +--------+--------+--------+-----------+---------+----------------------------------+
//   payload: type-specific (1) | fragment offset (3) | type (1) | Q (1) | width/8 (1) |
//            height/8 (1) | [restart header (4)] | [tables, first packet, Q >= 128] | data
//
// A frame is the packets of one timestamp, numbered from 0, with offsets that follow each
// other, the marker on the last one only. The last packet's data ends with the JPEG end
// marker FF D9 and zero bytes up to the 1400.
//
// A packet that breaks a rule is reported and not taken into its frame; the frame it belongs
// to is then reported as not valid, with the first reason.

#include "unit_sim.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace unitsim {

constexpr std::uint8_t JpegPayloadType = 26;
constexpr std::size_t RtpHeaderBytes = 12;
constexpr std::size_t JpegHeaderBytes = 8;

struct AssemblyOutput
{
    RtpPacket packet;
    // Frames this packet ended: one cut off without its marker, and/or the one it completed.
    std::vector<Frame> frames;
};

class FrameAssembler
{
public:
    // Packets with another SSRC are refused; nullopt takes any.
    void setExpectedSsrc(std::optional<std::uint32_t> ssrc) { m_expectedSsrc = ssrc; }

    AssemblyOutput push(std::span<const std::uint8_t> datagram, std::int64_t timeMs = 0);
    // Ends a frame still missing its marker (at shutdown); nullopt when none is open.
    std::optional<Frame> flush(std::int64_t timeMs = 0);

private:
    struct Pending
    {
        std::uint32_t timestamp = 0;
        std::uint32_t ssrc = 0;
        std::uint16_t nextSequence = 0;
        std::uint32_t nextOffset = 0;
        std::uint8_t typeSpecific = 0;
        std::uint8_t jpegType = 0;
        std::uint8_t q = 0;
        std::uint8_t widthBlocks = 0;
        std::uint8_t heightBlocks = 0;
        std::size_t packetCount = 0;
        std::size_t datagramBytes = 0;
        std::size_t lostPackets = 0;
        std::vector<std::uint8_t> data;
        std::string broken; // first reason the frame cannot be valid
    };

    Frame finish(Pending &pending, std::int64_t timeMs, bool markerSeen);
    void addToFrame(std::span<const std::uint8_t> data, std::int64_t timeMs, AssemblyOutput &out);

    // The last valid frame, for a picture that comes again byte for byte (an unchanged desktop
    // sent again): it is that picture, valid without a second decode, which keeps the receiver
    // up with a fast sender.
    bool sameAsLastValid(const Frame &frame, const std::vector<std::uint8_t> &data) const;

    std::optional<std::uint32_t> m_expectedSsrc;
    std::optional<Pending> m_pending;
    std::optional<Frame> m_lastValid;
    std::size_t m_nextIndex = 1;
};

// Checks a reassembled frame's data: strips the zero padding after the end marker, then
// requires start and end markers and a full decode; notes whether the size matches the 8-pixel
// block counts the packets announced. Fills jpeg, width, height, sizeMatches, valid, problem.
void checkFrameData(Frame &frame, std::vector<std::uint8_t> data);

} // namespace unitsim

#endif // TANDEO_UNITSIM_FRAME_ASSEMBLER_H
