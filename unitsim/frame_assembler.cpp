#include "frame_assembler.h"

#include "jpeg_probe.h"

#include <algorithm>
#include <cstdio>

namespace unitsim {

namespace {

std::uint16_t be16(const std::uint8_t *p)
{
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

std::uint32_t be24(const std::uint8_t *p)
{
    return (std::uint32_t(p[0]) << 16) | (std::uint32_t(p[1]) << 8) | p[2];
}

std::uint32_t be32(const std::uint8_t *p)
{
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8)
            | p[3];
}

std::string hex32(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

constexpr std::uint32_t OffsetMask = 0xFFFFFF; // the fragment offset is 24 bits

} // namespace

namespace {

// Reads the RTP header into packet and notes its rule breaks; returns the header's size (at
// most the datagram's).
std::size_t readRtpHeader(std::span<const std::uint8_t> datagram, RtpPacket &packet,
        const std::optional<std::uint32_t> &expectedSsrc)
{
    const std::uint8_t *d = datagram.data();
    packet.version = d[0] >> 6;
    packet.padding = (d[0] & 0x20) != 0;
    packet.extension = (d[0] & 0x10) != 0;
    packet.csrcCount = d[0] & 0x0F;
    packet.marker = (d[1] & 0x80) != 0;
    packet.payloadType = d[1] & 0x7F;
    packet.sequence = be16(d + 2);
    packet.timestamp = be32(d + 4);
    packet.ssrc = be32(d + 8);

    std::vector<std::string> &problems = packet.problems;
    if (packet.version != 2)
        problems.push_back("RTP version " + std::to_string(packet.version) + ", expected 2");
    if (packet.payloadType != JpegPayloadType)
        problems.push_back("payload type " + std::to_string(packet.payloadType) + ", expected 26");
    if (packet.csrcCount != 0)
        problems.push_back("carries " + std::to_string(packet.csrcCount) + " CSRC entries");
    if (packet.padding)
        problems.push_back("padding bit set");
    std::size_t headerBytes = RtpHeaderBytes + 4 * std::size_t(packet.csrcCount);
    if (packet.extension) {
        problems.push_back("header extension present");
        if (datagram.size() >= headerBytes + 4)
            headerBytes += 4 + 4 * std::size_t(be16(d + headerBytes + 2));
    }
    if (headerBytes > datagram.size()) {
        problems.push_back("header runs past the end of the datagram");
        headerBytes = datagram.size();
    }
    packet.payloadBytes = datagram.size() - headerBytes;
    if (packet.payloadBytes != RtpPayloadBytes)
        problems.push_back("payload of " + std::to_string(packet.payloadBytes) + " bytes, expected "
                + std::to_string(RtpPayloadBytes));
    if (expectedSsrc && packet.ssrc != *expectedSsrc)
        problems.push_back("SSRC " + hex32(packet.ssrc) + ", expected " + hex32(*expectedSsrc));
    return headerBytes;
}

// Reads the JPEG header at the start of the payload into packet; returns the picture data
// after it and the optional headers, empty when they do not fit.
std::span<const std::uint8_t> readJpegHeader(
        std::span<const std::uint8_t> payload, RtpPacket &packet)
{
    if (payload.size() < JpegHeaderBytes) {
        packet.problems.push_back("payload too short for the JPEG header");
        return {};
    }
    packet.typeSpecific = payload[0];
    packet.fragmentOffset = be24(payload.data() + 1);
    packet.jpegType = payload[4];
    packet.q = payload[5];
    packet.widthBlocks = payload[6];
    packet.heightBlocks = payload[7];
    std::size_t dataStart = JpegHeaderBytes;
    if (packet.jpegType >= 64 && packet.jpegType <= 127)
        dataStart += 4; // restart marker header
    if (packet.q >= 128 && packet.fragmentOffset == 0 && payload.size() >= dataStart + 4)
        dataStart += 4 + be16(payload.data() + dataStart + 2); // quantization tables
    if (dataStart > payload.size()) {
        packet.problems.push_back("JPEG headers run past the end of the payload");
        return {};
    }
    return payload.subspan(dataStart);
}

} // namespace

AssemblyOutput FrameAssembler::push(std::span<const std::uint8_t> datagram, std::int64_t timeMs)
{
    AssemblyOutput out;
    RtpPacket &packet = out.packet;
    packet.timeMs = timeMs;
    packet.datagramBytes = datagram.size();
    if (datagram.size() < RtpHeaderBytes) {
        packet.problems.push_back("datagram of " + std::to_string(datagram.size())
                + " bytes is shorter than an RTP header");
        return out;
    }
    const std::size_t headerBytes = readRtpHeader(datagram, packet, m_expectedSsrc);
    const std::span<const std::uint8_t> data =
            readJpegHeader(datagram.subspan(headerBytes), packet);

    // A packet that is broken in itself: report it, and break its frame if it belongs there.
    if (!packet.problems.empty()) {
        if (m_pending && m_pending->timestamp == packet.timestamp) {
            m_pending->datagramBytes += datagram.size();
            if (m_pending->broken.empty())
                m_pending->broken = "packet " + std::to_string(packet.sequence)
                        + " refused: " + packet.problems.front();
            if (packet.marker)
                out.frames.push_back(finish(*m_pending, timeMs, true));
        }
        return out;
    }
    addToFrame(data, timeMs, out);
    return out;
}

// Takes a packet that is sound in itself into the frame of its timestamp, which it may start,
// or end with its marker; a frame still open with another timestamp ends without one.
void FrameAssembler::addToFrame(
        std::span<const std::uint8_t> data, std::int64_t timeMs, AssemblyOutput &out)
{
    RtpPacket &packet = out.packet;
    if (m_pending && m_pending->timestamp != packet.timestamp) {
        if (m_pending->broken.empty())
            m_pending->broken = "ended without a marker packet";
        out.frames.push_back(finish(*m_pending, timeMs, false));
    }
    if (!m_pending) {
        Pending next;
        next.timestamp = packet.timestamp;
        next.ssrc = packet.ssrc;
        next.typeSpecific = packet.typeSpecific;
        next.jpegType = packet.jpegType;
        next.q = packet.q;
        next.widthBlocks = packet.widthBlocks;
        next.heightBlocks = packet.heightBlocks;
        m_pending = std::move(next);
    }
    Pending &frame = *m_pending;
    frame.datagramBytes += packet.datagramBytes;
    std::vector<std::string> &problems = packet.problems;
    if (packet.sequence != frame.nextSequence) {
        // Forward: the packets between were lost; backward (a repeat or reordering): none.
        const auto skipped = std::uint16_t(packet.sequence - frame.nextSequence);
        if (skipped < 0x8000)
            frame.lostPackets += skipped;
        problems.push_back(frame.packetCount == 0 && frame.data.empty()
                        ? "sequence " + std::to_string(packet.sequence)
                                + " at the start of a frame, expected 0"
                        : "sequence " + std::to_string(packet.sequence) + ", expected "
                                + std::to_string(frame.nextSequence));
    }
    if (packet.fragmentOffset != (frame.nextOffset & OffsetMask))
        problems.push_back("fragment offset " + std::to_string(packet.fragmentOffset)
                + ", expected " + std::to_string(frame.nextOffset & OffsetMask));
    if (packet.typeSpecific != frame.typeSpecific || packet.jpegType != frame.jpegType
            || packet.q != frame.q || packet.widthBlocks != frame.widthBlocks
            || packet.heightBlocks != frame.heightBlocks)
        problems.push_back("JPEG header differs from the frame's first packet");

    // Follow this packet either way, so one fault is reported once, not at every later packet.
    frame.nextSequence = static_cast<std::uint16_t>(packet.sequence + 1);
    frame.nextOffset = packet.fragmentOffset + static_cast<std::uint32_t>(data.size());
    if (problems.empty()) {
        packet.accepted = true;
        ++frame.packetCount;
        frame.data.insert(frame.data.end(), data.begin(), data.end());
    } else if (frame.broken.empty()) {
        frame.broken =
                "packet " + std::to_string(packet.sequence) + " refused: " + problems.front();
    }
    if (packet.marker)
        out.frames.push_back(finish(frame, timeMs, true));
}

std::optional<Frame> FrameAssembler::flush(std::int64_t timeMs)
{
    if (!m_pending)
        return std::nullopt;
    if (m_pending->broken.empty())
        m_pending->broken = "ended without a marker packet";
    return finish(*m_pending, timeMs, false);
}

Frame FrameAssembler::finish(Pending &pending, std::int64_t timeMs, bool markerSeen)
{
    Frame frame;
    frame.index = m_nextIndex++;
    frame.timeMs = timeMs;
    frame.ssrc = pending.ssrc;
    frame.timestamp = pending.timestamp;
    frame.packetCount = pending.packetCount;
    frame.datagramBytes = pending.datagramBytes;
    frame.lostPackets = pending.lostPackets;
    frame.widthBlocks = pending.widthBlocks;
    frame.heightBlocks = pending.heightBlocks;
    frame.complete = markerSeen;
    std::string broken = std::move(pending.broken);
    std::vector<std::uint8_t> data = std::move(pending.data);
    m_pending.reset();
    if (!broken.empty() || !markerSeen) {
        frame.jpeg = std::move(data);
        frame.problem = broken.empty() ? "ended without a marker packet" : broken;
        return frame;
    }
    if (sameAsLastValid(frame, data)) {
        frame.jpeg = m_lastValid->jpeg;
        frame.width = m_lastValid->width;
        frame.height = m_lastValid->height;
        frame.sizeMatches = m_lastValid->sizeMatches;
        frame.valid = true;
        return frame;
    }
    checkFrameData(frame, std::move(data));
    if (frame.valid)
        m_lastValid = frame;
    return frame;
}

bool FrameAssembler::sameAsLastValid(
        const Frame &frame, const std::vector<std::uint8_t> &data) const
{
    if (!m_lastValid || frame.widthBlocks != m_lastValid->widthBlocks
            || frame.heightBlocks != m_lastValid->heightBlocks)
        return false;
    // The picture, then nothing but the zero padding.
    const std::vector<std::uint8_t> &jpeg = m_lastValid->jpeg;
    return data.size() >= jpeg.size() && std::equal(jpeg.begin(), jpeg.end(), data.begin())
            && std::all_of(data.begin() + std::ptrdiff_t(jpeg.size()), data.end(),
                    [](std::uint8_t b) { return b == 0; });
}

void checkFrameData(Frame &frame, std::vector<std::uint8_t> data)
{
    frame.valid = false;
    std::size_t end = data.size();
    while (end > 0 && data[end - 1] == 0)
        --end;
    const bool endsWithMarker = end >= 2 && data[end - 2] == 0xFF && data[end - 1] == 0xD9;
    if (endsWithMarker)
        data.resize(end);
    frame.jpeg = std::move(data);
    const std::vector<std::uint8_t> &jpeg = frame.jpeg;
    if (jpeg.size() < 4 || jpeg[0] != 0xFF || jpeg[1] != 0xD8) {
        frame.problem = "no JPEG start marker";
        return;
    }
    if (!endsWithMarker) {
        bool markerInside = false;
        for (std::size_t i = 0; i + 1 < jpeg.size(); ++i)
            markerInside = markerInside || (jpeg[i] == 0xFF && jpeg[i + 1] == 0xD9);
        frame.problem =
                markerInside ? "non-zero bytes after the JPEG end marker" : "no JPEG end marker";
        return;
    }
    JpegProbe probe = probeJpeg(jpeg);
    if (!probe.decodes) {
        frame.problem = "does not decode: " + probe.error;
        return;
    }
    frame.width = probe.width;
    frame.height = probe.height;
    const auto blocks = [](int pixels) { return static_cast<std::uint8_t>((pixels + 7) / 8); };
    frame.sizeMatches =
            blocks(probe.width) == frame.widthBlocks && blocks(probe.height) == frame.heightBlocks;
    frame.valid = true;
}

} // namespace unitsim
