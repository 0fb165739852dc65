#include "control_fuzz_entry.h"

#include "control_receiver.h"

#include <algorithm>
#include <span>

namespace control {

namespace {

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            __builtin_trap();                                                                      \
    } while (false)

const SessionTag FuzzTag{ 0x11, 0x22, 0x33, 0x44 };

std::uint8_t requestResults = 0; // chooses what the request callback answers
volatile std::uint32_t sink = 0; // keeps the reads of callback data from being dropped

std::uint32_t touchParams(const ControlParams &params)
{
    std::uint32_t sum = params.count + params.item2 + params.item3 + params.item4 + params.item5
            + params.item6 + params.item7 + params.item8;
    for (std::uint8_t byte : params.item1)
        sum += byte;
    return sum;
}

void onNotify(int event, const unsigned char *data, int length)
{
    FUZZ_CHECK(event >= CONNECT_ACCEPT && event <= NETWORK_FAIL && event != 11 && event != 12);
    switch (event) {
    case CONNECT_ACCEPT:
        FUZZ_CHECK(data != nullptr && length >= 0);
        sink = sink + touchParams(*reinterpret_cast<const ControlParams *>(data));
        break;
    case CONNECT_REJECT:
    case SHARE_REJECT:
    case STOP_REJECT:
    case PARAMS_REJECT:
        // The receiver of a refusal may read four reason bytes.
        FUZZ_CHECK(data != nullptr && length == 0);
        sink = sink + data[0] + data[1] + data[2] + data[3];
        break;
    default:
        FUZZ_CHECK(data == nullptr && length == 0);
        break;
    }
}

int onRequest(int event, const void *data, int length)
{
    FUZZ_CHECK(length == 0);
    if (event == REQUESTBYPEER_PARAMS || event == REQUESTBYPEER_NEXT_FRAME) {
        FUZZ_CHECK(data != nullptr);
        sink = sink + touchParams(*static_cast<const ControlParams *>(data));
    } else {
        FUZZ_CHECK(event == REQUESTBYPEER_SHARE || event == REQUESTBYPEER_STOP);
        FUZZ_CHECK(data == nullptr);
    }
    // Some answers accept, some refuse, some have a zero low byte with higher bits set.
    const int bit = (requestResults >> (event % 8)) & 1;
    return bit == 0 ? 0 : (event == REQUESTBYPEER_STOP ? 0x100 : event);
}

void checkReply(std::span<const std::uint8_t> reply)
{
    const auto header = decodeHeader(reply);
    FUZZ_CHECK(header.has_value());
    FUZZ_CHECK(header->type == static_cast<std::uint8_t>(MsgType::MSG_RESPONSE));
    FUZZ_CHECK(header->tag == FuzzTag && header->param == ClientParam);
    FUZZ_CHECK(reply.size() == HeaderSize + header->length);
    FUZZ_CHECK(reply.size() == 14 || reply.size() == 18);
    const std::uint8_t answers = reply[13];
    FUZZ_CHECK(answers == 2 || answers == 3 || answers == 5);
}

unsigned presentItems(const ControlParams &p)
{
    return unsigned{ !p.item1.empty() } + (p.item2 != 0) + (p.item3 != 0) + (p.item4 != 0)
            + (p.item5 != 0) + (p.item6 != 0) + (p.item7 != 0) + (p.item8 != 0);
}

void checkItemCodec(std::span<const std::uint8_t> bytes)
{
    ControlParams decoded = decodeItems(bytes);
    FUZZ_CHECK(decoded.item1.size() <= MaxItem1Bytes);
    if (!bytes.empty())
        FUZZ_CHECK(decoded.count == bytes[0]);
    // What was read writes back to a block that reads the same, when count says how many.
    decoded.count = static_cast<std::uint8_t>(presentItems(decoded));
    const auto block = encodeItems(decoded);
    FUZZ_CHECK(block.size() == itemBlockSize(decoded));
    FUZZ_CHECK(decodeItems(block) == decoded);
}

} // namespace

void fuzzControlInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return;
    // Byte 0 shapes the receive sizes, byte 1 the request answers, the rest is the stream.
    std::uint32_t shape = data[0] * 2654435761u + 1;
    requestResults = data[1];
    const std::span<const std::uint8_t> stream(data + 2, size - 2);

    Receiver receiver(FuzzTag);
    const Callbacks callbacks{ onNotify, onRequest };
    std::size_t pos = 0;
    bool peerLeft = false;
    while (pos < stream.size()) {
        shape = shape * 1103515245u + 12345u;
        const std::size_t piece =
                std::min<std::size_t>(1 + (shape >> 16) % RecvChunkBytes, stream.size() - pos);
        const auto result = receiver.feed(stream.subspan(pos, piece), callbacks, checkReply);
        FUZZ_CHECK(!peerLeft || result == DispatchResult::PeerLeft);
        peerLeft = result == DispatchResult::PeerLeft;
        FUZZ_CHECK(receiver.pendingBytes() < HeaderSize + MaxPayloadBytes);
        pos += piece;
    }

    checkItemCodec(stream);
    if (const auto header = decodeHeader(stream)) {
        const auto bytes = encodeHeader(*header);
        FUZZ_CHECK(std::equal(bytes.begin(), bytes.end(), stream.begin()));
        FUZZ_CHECK(decodeHeader(bytes) == header);
        checkItemCodec(stream.subspan(HeaderSize));
    }
    if (const auto response = decodeResponse(stream)) {
        FUZZ_CHECK(response->tail.size() == stream.size() - 2);
        sink = sink + reasonBytes(*response)[3];
    }
}

} // namespace control
