#ifndef TANDEO_FUZZ_CONTROL_FUZZ_ENTRY_H
#define TANDEO_FUZZ_CONTROL_FUZZ_ENTRY_H

// One input through everything the client does with the unit's bytes: reassembly in pieces
// the size of real receives, dispatch with callbacks that read what they are handed, the
// automatic responses, and the item reader. Traps on a broken promise of the codec. Shared by
// the libFuzzer target and the test that replays the seed corpus.

#include <cstddef>
#include <cstdint>

namespace control {

void fuzzControlInput(const std::uint8_t *data, std::size_t size);

} // namespace control

#endif // TANDEO_FUZZ_CONTROL_FUZZ_ENTRY_H
