// libFuzzer entry: arbitrary bytes as if the unit had sent them.

#include "control_fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    control::fuzzControlInput(data, size);
    return 0;
}
