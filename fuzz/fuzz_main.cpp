// libFuzzer entry of one target; TANDEO_FUZZ_ENTRY names the function of fuzz_entries.h.

#include "fuzz_entries.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    TANDEO_FUZZ_ENTRY(data, size);
    return 0;
}
