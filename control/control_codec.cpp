#include "control_codec.h"

#include <algorithm>

namespace control {

namespace {

constexpr std::uint8_t TagItem1 = 1;
constexpr std::uint8_t TagLast = 8;

void putU16(std::vector<std::uint8_t> &out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

std::uint16_t getU16(std::span<const std::uint8_t> bytes, std::size_t at)
{
    // Unsigned on purpose: a low byte of 0x80 or more must not sign-extend into the high one.
    return static_cast<std::uint16_t>((std::uint16_t{ bytes[at] } << 8) | bytes[at + 1]);
}

void putWord(std::vector<std::uint8_t> &out, std::uint8_t tag, std::uint16_t value)
{
    if (value == 0)
        return;
    out.push_back(tag);
    out.push_back(2);
    putU16(out, value);
}

void putByte(std::vector<std::uint8_t> &out, std::uint8_t tag, std::uint8_t value)
{
    if (value == 0)
        return;
    out.push_back(tag);
    out.push_back(1);
    out.push_back(value);
}

std::size_t item1Bytes(const ControlParams &params)
{
    return std::min(params.item1.size(), MaxItem1Bytes);
}

// Byte size of each fixed-size item including its tag and length bytes; 0 for tags that do
// not exist. Tag 1 has a variable size and is handled apart.
std::size_t fixedItemSize(std::uint8_t tag)
{
    switch (tag) {
    case 2:
    case 4:
    case 5:
    case 6:
        return 4;
    case 3:
    case 7:
    case 8:
        return 3;
    default:
        return 0;
    }
}

} // namespace

SessionTag sessionTagFromText(std::string_view sessionText)
{
    SessionTag tag{};
    for (std::size_t i = 0; i < tag.size() && i < sessionText.size(); ++i)
        tag[tag.size() - 1 - i] = static_cast<std::uint8_t>(sessionText[i]);
    return tag;
}

Header makeHeader(MsgType type, const SessionTag &tag, std::uint16_t param)
{
    Header header;
    header.type = static_cast<std::uint8_t>(type);
    header.tag = tag;
    header.param = param;
    return header;
}

std::array<std::uint8_t, HeaderSize> encodeHeader(const Header &header)
{
    return { header.magic[0], header.magic[1], header.version, header.type, header.tag[0],
        header.tag[1], header.tag[2], header.tag[3], static_cast<std::uint8_t>(header.param >> 8),
        static_cast<std::uint8_t>(header.param), static_cast<std::uint8_t>(header.length >> 8),
        static_cast<std::uint8_t>(header.length) };
}

std::optional<Header> decodeHeader(std::span<const std::uint8_t> bytes)
{
    if (bytes.size() < HeaderSize)
        return std::nullopt;
    Header header;
    header.magic = { bytes[0], bytes[1] };
    header.version = bytes[2];
    header.type = bytes[3];
    header.tag = { bytes[4], bytes[5], bytes[6], bytes[7] };
    header.param = getU16(bytes, 8);
    header.length = getU16(bytes, 10);
    return header;
}

std::size_t itemBlockSize(const ControlParams &params)
{
    std::size_t size = 1;
    if (const std::size_t n = item1Bytes(params); n != 0)
        size += n + 2;
    for (std::uint16_t word : { params.item2, params.item4, params.item5, params.item6 })
        size += word != 0 ? 4 : 0;
    for (std::uint8_t byte : { params.item3, params.item7, params.item8 })
        size += byte != 0 ? 3 : 0;
    return size;
}

std::vector<std::uint8_t> encodeItems(const ControlParams &params)
{
    std::vector<std::uint8_t> out;
    out.reserve(itemBlockSize(params));
    out.push_back(params.count);
    if (const std::size_t n = item1Bytes(params); n != 0) {
        out.push_back(TagItem1);
        out.push_back(static_cast<std::uint8_t>(n));
        out.insert(out.end(), params.item1.begin(), params.item1.begin() + n);
    }
    putWord(out, 2, params.item2);
    putByte(out, 3, params.item3);
    putWord(out, 4, params.item4);
    putWord(out, 5, params.item5);
    putWord(out, 6, params.item6);
    putByte(out, 7, params.item7);
    putByte(out, 8, params.item8);
    return out;
}

ControlParams decodeItems(std::span<const std::uint8_t> block)
{
    ControlParams params;
    if (block.empty())
        return params;
    params.count = block[0];
    std::size_t pos = 1;
    for (unsigned i = 0; i < params.count; ++i) {
        if (pos + 2 > block.size())
            break; // no room for a tag and its length byte
        const std::uint8_t tag = block[pos];
        if (tag == 0 || tag > TagLast)
            break;
        if (tag == TagItem1) {
            const std::size_t n = block[pos + 1];
            if (pos + 2 + n > block.size())
                break;
            params.item1.assign(block.begin() + pos + 2, block.begin() + pos + 2 + n);
            pos += n + 2;
            continue;
        }
        const std::size_t size = fixedItemSize(tag);
        if (pos + size > block.size())
            break;
        switch (tag) {
        case 2:
            params.item2 = getU16(block, pos + 2);
            break;
        case 3:
            params.item3 = block[pos + 2];
            break;
        case 4:
            params.item4 = getU16(block, pos + 2);
            break;
        case 5:
            params.item5 = getU16(block, pos + 2);
            break;
        case 6:
            params.item6 = getU16(block, pos + 2);
            break;
        case 7:
            params.item7 = block[pos + 2];
            break;
        case 8:
            params.item8 = block[pos + 2];
            break;
        }
        pos += size;
    }
    return params;
}

ControlParams connectParams(std::uint16_t width, std::uint16_t height)
{
    ControlParams params;
    params.count = 5; // the unit's reader expects 5 here although six items follow
    params.item1 = { 26 };
    params.item2 = 8000;
    params.item3 = 5;
    params.item4 = width;
    params.item5 = height;
    params.item8 = 1;
    return params;
}

std::vector<std::uint8_t> encodeMessage(Header header, std::span<const std::uint8_t> payload)
{
    const std::size_t payloadBytes = std::min(payload.size(), MaxPayloadBytes);
    header.length = static_cast<std::uint16_t>(payloadBytes);
    const auto head = encodeHeader(header);
    std::vector<std::uint8_t> out;
    out.reserve(HeaderSize + payloadBytes);
    out.insert(out.end(), head.begin(), head.end());
    out.insert(out.end(), payload.begin(), payload.begin() + payloadBytes);
    return out;
}

std::vector<std::uint8_t> encodeMessage(const Header &header, const ControlParams &params)
{
    return encodeMessage(header, encodeItems(params));
}

std::vector<std::uint8_t> encodeResponse(Header header, std::uint8_t result, std::uint8_t answers,
        std::span<const std::uint8_t> tail)
{
    header.type = static_cast<std::uint8_t>(MsgType::MSG_RESPONSE);
    std::vector<std::uint8_t> payload{ result, answers };
    payload.insert(payload.end(), tail.begin(), tail.end());
    return encodeMessage(header, payload);
}

std::vector<std::uint8_t> encodeClientResponse(
        const SessionTag &tag, std::uint8_t answers, int decision)
{
    const Header header = makeHeader(MsgType::MSG_RESPONSE, tag);
    const auto result = static_cast<std::uint8_t>(decision & 0xFF);
    if (decision == 0)
        return encodeResponse(header, result, answers);
    const std::array<std::uint8_t, ReasonBytes> reason{};
    return encodeResponse(header, result, answers, reason);
}

std::optional<Response> decodeResponse(std::span<const std::uint8_t> payload)
{
    if (payload.size() < 2)
        return std::nullopt;
    return Response{ payload[0], payload[1], payload.subspan(2) };
}

std::array<std::uint8_t, ReasonBytes> reasonBytes(const Response &response)
{
    std::array<std::uint8_t, ReasonBytes> reason{};
    std::copy_n(response.tail.begin(), std::min(response.tail.size(), ReasonBytes), reason.begin());
    return reason;
}

} // namespace control
