#include "frame_assembler.h"
#include "fuzz_check.h"
#include "fuzz_entries.h"

#include <vector>

namespace unitsim {

namespace {

constexpr std::size_t FullPacketBytes = RtpHeaderBytes + RtpPayloadBytes;

struct Seen
{
    std::size_t bytesFed = 0;
    std::size_t nextIndex = 1;
};

void checkFrame(const Frame &frame, Seen &seen)
{
    FUZZ_CHECK(frame.index == seen.nextIndex);
    ++seen.nextIndex;
    FUZZ_CHECK(frame.jpeg.size() <= seen.bytesFed);
    FUZZ_CHECK(frame.valid == frame.problem.empty());
    if (!frame.valid)
        return;
    const std::vector<std::uint8_t> &jpeg = frame.jpeg;
    FUZZ_CHECK(frame.complete && frame.packetCount > 0);
    FUZZ_CHECK(frame.width > 0 && frame.height > 0);
    FUZZ_CHECK(jpeg.size() >= 4 && jpeg[0] == 0xFF && jpeg[1] == 0xD8);
    FUZZ_CHECK(jpeg[jpeg.size() - 2] == 0xFF && jpeg.back() == 0xD9);
}

} // namespace

void fuzzFrameAssembler(const std::uint8_t *data, std::size_t size)
{
    if (size < 1)
        return;
    FrameAssembler assembler;
    if (data[0] & 1)
        assembler.setExpectedSsrc(std::uint32_t(data[0]) * 0x01010101u);
    Seen seen;
    std::vector<std::uint8_t> datagram;
    std::size_t pos = 1;
    std::int64_t timeMs = 0;
    while (pos + 3 <= size) {
        const std::uint8_t flags = data[pos];
        const std::size_t wanted = ((std::size_t(data[pos + 1]) << 8) | data[pos + 2]) % 2048;
        pos += 3;
        const std::size_t take = std::min(wanted, size - pos);
        datagram.assign(data + pos, data + pos + take);
        pos += take;
        if ((flags & 1) && datagram.size() < FullPacketBytes)
            datagram.resize(FullPacketBytes, 0);
        seen.bytesFed += datagram.size();

        const AssemblyOutput out = assembler.push(datagram, ++timeMs);
        FUZZ_CHECK(out.packet.datagramBytes == datagram.size());
        FUZZ_CHECK(!out.packet.accepted || out.packet.problems.empty());
        FUZZ_CHECK(out.packet.payloadBytes <= datagram.size());
        FUZZ_CHECK(out.frames.size() <= 2);
        for (const Frame &frame : out.frames)
            checkFrame(frame, seen);
    }
    if (const std::optional<Frame> last = assembler.flush(++timeMs)) {
        FUZZ_CHECK(!last->complete && !last->valid);
        checkFrame(*last, seen);
    }
    FUZZ_CHECK(!assembler.flush(timeMs));
}

} // namespace unitsim
