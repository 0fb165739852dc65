#ifndef TANDEO_FUZZ_FUZZ_CHECK_H
#define TANDEO_FUZZ_FUZZ_CHECK_H

// What every fuzz entry shares: a check that stops the process on a broken promise (the fuzzer
// then keeps the input), and the cut of one input into pieces the size of real reads.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            __builtin_trap();                                                                      \
    } while (false)

namespace fuzzing {

// Piece sizes from 1 to maxPiece, drawn from a seed byte: the same input is cut the same way.
class PieceSizes
{
public:
    PieceSizes(std::uint8_t seed, std::size_t maxPiece)
        : m_state(seed * 2654435761u + 1),
          m_maxPiece(maxPiece)
    {
    }

    std::size_t next(std::size_t left)
    {
        m_state = m_state * 1103515245u + 12345u;
        return std::min<std::size_t>(1 + (m_state >> 16) % m_maxPiece, left);
    }

private:
    std::uint32_t m_state;
    std::size_t m_maxPiece;
};

} // namespace fuzzing

#endif // TANDEO_FUZZ_FUZZ_CHECK_H
