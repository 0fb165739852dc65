// Every input of a fuzz target's corpus passes its entry: no check of the entry trips, and the
// sanitizers of a sanitizer build see nothing.

#include "corpus_replay.h"
#include "fuzz_entries.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace {

struct Target
{
    const char *name; // the corpus folder
    void (*entry)(const std::uint8_t *, std::size_t);
};

void PrintTo(const Target &target, std::ostream *out)
{
    *out << target.name;
}

class FuzzCorpus : public ::testing::TestWithParam<Target>
{
};

TEST_P(FuzzCorpus, EveryInputPassesTheEntry)
{
    const std::filesystem::path corpus = std::filesystem::path(FUZZ_CORPUS_ROOT) / GetParam().name;
    ASSERT_TRUE(std::filesystem::is_directory(corpus)) << corpus;
    const int replayed = testsupport::replayCorpus(corpus, GetParam().entry);
    // A corpus the fuzzer built holds far more; a handful means it went missing.
    EXPECT_GE(replayed, 10);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus,
        ::testing::Values(Target{ "reply_readers", unitcmd::fuzzReplyReaders },
                Target{ "firmware_rules", unitcmd::fuzzFirmwareRules },
                Target{ "http_request", unitsim::fuzzHttpRequests },
                Target{ "frame_assembler", unitsim::fuzzFrameAssembler }),
        [](const ::testing::TestParamInfo<Target> &info) { return std::string(info.param.name); });

} // namespace
