// Replays the fuzzer's seed corpus through the same entry, so that every input once found
// interesting keeps passing in the ordinary suite.

#include "control_fuzz_entry.h"
#include "corpus_replay.h"

#include <filesystem>
#include <gtest/gtest.h>

TEST(ControlFuzzSeeds, EverySeedPassesTheFuzzEntry)
{
    const std::filesystem::path corpus(CONTROL_FUZZ_CORPUS);
    ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
    const int replayed = testsupport::replayCorpus(corpus, control::fuzzControlInput);
    EXPECT_GE(replayed, 5);
}
