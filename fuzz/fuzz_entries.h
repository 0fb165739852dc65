#ifndef TANDEO_FUZZ_FUZZ_ENTRIES_H
#define TANDEO_FUZZ_FUZZ_ENTRIES_H

// One function per reader of bytes from the network: arbitrary bytes through everything the
// program does with them, with checks of what the reader promises. Each traps on a broken
// promise. Shared by the libFuzzer targets and the tests that replay their corpora.

#include <cstddef>
#include <cstdint>

namespace unitcmd {

// The bytes as the body of a login reply and of a firmware reply of both families, through the
// reply readers and on into the firmware rules.
void fuzzReplyReaders(const std::uint8_t *data, std::size_t size);

// The bytes as a version text (UTF-8, Latin-1 and UTF-16 readings) through the firmware rules.
void fuzzFirmwareRules(const std::uint8_t *data, std::size_t size);

} // namespace unitcmd

namespace unitsim {

// Byte 0 chooses the unit's options and how the stream is cut; the rest is what a client sent
// on one HTTP connection to the emulated unit: request reading, command reading, the answer,
// its bytes and the log line.
void fuzzHttpRequests(const std::uint8_t *data, std::size_t size);

// Byte 0 chooses the expected SSRC; the rest is a run of datagrams for the RTP JPEG receiver,
// each as a flag byte (bit 0: pad with zero bytes to a full packet), a two-byte length and the
// bytes.
void fuzzFrameAssembler(const std::uint8_t *data, std::size_t size);

} // namespace unitsim

#endif // TANDEO_FUZZ_FUZZ_ENTRIES_H
