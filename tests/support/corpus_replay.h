#ifndef TANDEO_TESTS_CORPUS_REPLAY_H
#define TANDEO_TESTS_CORPUS_REPLAY_H

// Replays every file of a fuzz corpus folder through a fuzz target's entry, each under a trace
// of its name, so an input once found interesting keeps passing in the ordinary suite.
// Returns how many files were replayed.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <vector>

namespace testsupport {

using FuzzEntry = void (*)(const std::uint8_t *data, std::size_t size);

inline int replayCorpus(const std::filesystem::path &corpus, FuzzEntry entry)
{
    int replayed = 0;
    for (const auto &file : std::filesystem::directory_iterator(corpus)) {
        if (!file.is_regular_file())
            continue;
        std::ifstream in(file.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes(
                (std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(file.path().filename().string());
        entry(bytes.data(), bytes.size());
        ++replayed;
    }
    return replayed;
}

} // namespace testsupport

#endif // TANDEO_TESTS_CORPUS_REPLAY_H
