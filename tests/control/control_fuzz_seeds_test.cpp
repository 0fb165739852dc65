// Replays the fuzzer's seed corpus through the same entry, so that every input once found
// interesting keeps passing in the ordinary suite.

#include "control_fuzz_entry.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <vector>

TEST(ControlFuzzSeeds, EverySeedPassesTheFuzzEntry)
{
    const std::filesystem::path corpus(CONTROL_FUZZ_CORPUS);
    ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
    int replayed = 0;
    for (const auto &entry : std::filesystem::directory_iterator(corpus)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes(
                (std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        control::fuzzControlInput(bytes.data(), bytes.size());
        ++replayed;
    }
    EXPECT_GE(replayed, 5);
}
