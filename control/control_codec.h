#ifndef TANDEO_CONTROL_CODEC_H
#define TANDEO_CONTROL_CODEC_H

// The bytes of the control channel: the 12-byte header, the item block and the standard
// response. Pure functions: no I/O, no threads, never throws. Used by the client and by the
// unit emulator, so every function works for either direction.
//
// Message (every number big-endian):
//
//   0      2         3      4               8       10       12
//   +------+---------+------+---------------+-------+--------+-------------------+
//   | "AC" | version | type | session tag   | param | length | payload (length)  |
//   +------+---------+------+---------------+-------+--------+-------------------+
//
// Item block (payload of MSG_CONNECT, MSG_PARAMS, MSG_NEXT_FRAME, tail of an accepting
// answer to MSG_CONNECT):
//
//   +-------+-----+-----+-------+-----+-----+-------+ ...
//   | count | tag | len | value | tag | len | value |
//   +-------+-----+-----+-------+-----+-----+-------+ ...
//
// MSG_RESPONSE payload:
//
//   +--------+---------+------------------------------------------------------+
//   | result | answers | reason (4 bytes, refusals) or item block (connect ok) |
//   +--------+---------+------------------------------------------------------+

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace control {

enum class MsgType : std::uint8_t {
    MSG_CONNECT = 1, // client to unit, item block
    MSG_SHARE = 2, // either way
    MSG_STOP = 3, // either way
    MSG_DISCONNECT = 4, // either way; the receiver closes its socket
    MSG_PARAMS = 5, // unit to client, item block
    MSG_NEXT_FRAME = 6, // unit to client, item block
    MSG_RESPONSE = 7, // either way
    MSG_FRAME_SENT = 8, // client to unit
};

constexpr std::size_t HeaderSize = 12;
constexpr std::size_t RecvChunkBytes = 200; // one receive call's worth on the client
constexpr std::uint8_t ProtocolVersion = 1; // in every message the client sends
constexpr std::uint16_t ClientParam = 1; // `param` of every message the client sends
constexpr std::size_t MaxPayloadBytes = 0xFFFF; // `length` is 16 bits
constexpr std::size_t MaxItem1Bytes = 0xFF; // item 1's length byte
constexpr std::size_t ReasonBytes = 4;

// The four tag bytes in wire order (header bytes 4 to 7).
using SessionTag = std::array<std::uint8_t, 4>;

// The session id's first four UTF-8 bytes, last one first: byte 4 of the header holds the
// fourth byte of the id, byte 7 the first. An id shorter than four bytes is padded with zero
// bytes before reversing.
SessionTag sessionTagFromText(std::string_view sessionText);

struct Header
{
    std::array<std::uint8_t, 2> magic{ 'A', 'C' }; // decoded as received, never checked
    std::uint8_t version = ProtocolVersion;
    std::uint8_t type = 0; // any value on receipt; see MsgType
    SessionTag tag{};
    std::uint16_t param = ClientParam;
    std::uint16_t length = 0; // payload bytes after the header

    bool operator==(const Header &) const = default;
};

// A header with the client's version and param for the given type.
Header makeHeader(MsgType type, const SessionTag &tag, std::uint16_t param = ClientParam);

// Header bytes 0 to 11, "AC" always written as the header's magic holds it.
std::array<std::uint8_t, HeaderSize> encodeHeader(const Header &header);

// Reads the first 12 bytes; nullopt when fewer are given. Nothing is validated: the client
// does not check magic, version, tag or param of what it receives.
std::optional<Header> decodeHeader(std::span<const std::uint8_t> bytes);

// The in-memory form of an item block. A value of 0 (an empty item1) means "absent".
struct ControlParams
{
    std::uint8_t count = 0; // number of items the reader decodes, written as given
    std::vector<std::uint8_t> item1; // tag 1, 0 to 255 bytes (longer is cut to 255 on writing)
    std::uint16_t item2 = 0;
    std::uint8_t item3 = 0;
    std::uint16_t item4 = 0; // picture width in MSG_CONNECT
    std::uint16_t item5 = 0; // picture height in MSG_CONNECT
    std::uint16_t item6 = 0;
    std::uint8_t item7 = 0;
    std::uint8_t item8 = 0;

    bool operator==(const ControlParams &) const = default;
};

// Bytes the item block of params takes: 1 + (n + 2 for a present item1) + 4 per present 16-bit
// item + 3 per present byte item.
std::size_t itemBlockSize(const ControlParams &params);

// The item block: count as given (the writer does not count), then the present items in tag
// order 1 to 8.
std::vector<std::uint8_t> encodeItems(const ControlParams &params);

// Reads an item block; every field starts at 0. Reads `count` items in the order they come; a
// tag of 0 or above 8 ends the decoding, and so does an item that would reach past the end of
// `block` (or a block that ends before `count` items): what was read before stays. The length
// byte of tags 2 to 8 is not consulted; their sizes are fixed. Never reads outside `block`.
ControlParams decodeItems(std::span<const std::uint8_t> block);

// The item block the client announces itself with: count 5 (although six items follow), item1
// the single byte 26, item2 8000, item3 5, width, height, item8 1. 22 bytes.
ControlParams connectParams(std::uint16_t width, std::uint16_t height);

// Header plus payload; `length` is set to the payload's size, so the two never disagree. A
// payload longer than 65535 bytes is cut to that.
std::vector<std::uint8_t> encodeMessage(Header header, std::span<const std::uint8_t> payload = {});

// Header plus the item block of params (MSG_CONNECT, MSG_PARAMS, MSG_NEXT_FRAME).
std::vector<std::uint8_t> encodeMessage(const Header &header, const ControlParams &params);

// A MSG_RESPONSE: result, answers, then `tail` (reason bytes, or an item block when accepting a
// MSG_CONNECT). The header's type is forced to MSG_RESPONSE.
std::vector<std::uint8_t> encodeResponse(Header header, std::uint8_t result, std::uint8_t answers,
        std::span<const std::uint8_t> tail = {});

// The client's automatic answer to a request of the unit: `result` is the low byte of decision;
// 14 bytes (length 2) when decision is 0, else 18 bytes (length 6) with four zero reason bytes.
std::vector<std::uint8_t> encodeClientResponse(
        const SessionTag &tag, std::uint8_t answers, int decision);

struct Response
{
    std::uint8_t result = 0; // 0 accepted, anything else refused
    std::uint8_t answers = 0; // the type being answered
    std::span<const std::uint8_t> tail; // bytes after `answers`, a view into the payload
};

// Reads a MSG_RESPONSE payload; nullopt when it holds fewer than 2 bytes.
std::optional<Response> decodeResponse(std::span<const std::uint8_t> payload);

// The four reason bytes of a refusal, with missing ones as 0 (a short refusal passes what is
// there).
std::array<std::uint8_t, ReasonBytes> reasonBytes(const Response &response);

} // namespace control

#endif // TANDEO_CONTROL_CODEC_H
