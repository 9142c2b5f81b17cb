// The kernel of every processor: eight bytes at a time in 64-bit words.
#include <bit>
#include <cstdint>
#include <cstring>

#include "kernels.hpp"

namespace zeilfuge {
namespace {

#include "kernel_generic.hpp"

constexpr bool kBigEndian = std::endian::native == std::endian::big;

// A byte below 0x1B, as all four special bytes are, sets its top bit in (x - 0x1B1B...) & ~x,
// and no other byte does unless such a byte is in the word.
std::uint64_t candidates(std::uint64_t x) {
    return (x - kOnes * (kCtrlZ + 1)) & ~x & kHighs;
}

template <bool kCopy>
std::size_t plain_run(const Byte* in, const Byte* end, Byte* out) {
    const Byte* p = in;
    while (end - p >= 16) {
        std::uint64_t low;
        std::uint64_t high;
        std::memcpy(&low, p, 8);
        std::memcpy(&high, p + 8, 8);
        if constexpr (kCopy) {
            // Bytes beyond a special byte are stored too; what follows overwrites them.
            std::memcpy(out + (p - in), &low, 8);
            std::memcpy(out + (p - in) + 8, &high, 8);
        }
        const std::uint64_t in_low = candidates(low);
        if ((in_low | candidates(high)) != 0) {
            // Start at the first marked byte in memory order. The borrow of the subtraction
            // may mark bytes before the first candidate on a big-endian processor, never after.
            const bool in_high = in_low == 0;
            const std::uint64_t mask = in_high ? candidates(high) : in_low;
            const int bit = kBigEndian ? __builtin_clzll(mask) : __builtin_ctzll(mask);
            std::size_t i = static_cast<std::size_t>(bit) / 8 + (in_high ? 8 : 0);
            for (; i < 16; ++i) {
                if (is_special(p[i])) return static_cast<std::size_t>(p - in) + i;
            }
        }
        p += 16;
    }
    for (; p != end && !is_special(*p); ++p) {
        if constexpr (kCopy) out[p - in] = *p;
    }
    return static_cast<std::size_t>(p - in);
}

// The eight bytes at p as a word with the first byte lowest, on either byte order.
std::uint64_t load_low_first(const Byte* p) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    if constexpr (kBigEndian) x = __builtin_bswap64(x);
    return x;
}

// The top bit of each byte of x equal to b (below 0x80), from low, its seven low bits: such a
// byte's low bits, xor b, are 0 and don't carry into the top bit, which x's is 0 too.
std::uint64_t top_where_equal(std::uint64_t x, std::uint64_t low, Byte b) {
    return ~(((low ^ kOnes * b) + ~kHighs) | x) & kHighs;
}

// An 8 x 8 matrix of bits, row r in byte r and column c in its bit c, turned so that rows are
// columns: three swaps of blocks of 1, 2 and 4 bits.
std::uint64_t transposed(std::uint64_t m) {
    std::uint64_t t = (m ^ (m >> 7)) & 0x00AA00AA00AA00AAULL;
    m ^= t ^ (t << 7);
    t = (m ^ (m >> 14)) & 0x0000CCCC0000CCCCULL;
    m ^= t ^ (t << 14);
    t = (m ^ (m >> 28)) & 0x00000000F0F0F0F0ULL;
    m ^= t ^ (t << 28);
    return m;
}

// The top bits of word w go to bit w of their bytes, and each mask's matrix is then turned
// once, so that bit 8w + j stands for byte j of word w: no multiplication per word. Always
// inlined into the search for line ends: GCC made it a call per group there, with the masks
// passed back through memory.
[[gnu::always_inline]] inline SpecialMasks classify(const Byte* in) {
    SpecialMasks m{};
    for (std::size_t w = 0; w < kGroup / 8; ++w) {
        const std::uint64_t x = load_low_first(in + 8 * w);
        const std::uint64_t low = x & ~kHighs;
        const auto to_row = static_cast<unsigned>(7 - w);
        m.nul |= top_where_equal(x, low, 0x00) >> to_row;
        m.lf |= top_where_equal(x, low, 0x0A) >> to_row;
        m.cr |= top_where_equal(x, low, 0x0D) >> to_row;
        m.ctrl_z |= top_where_equal(x, low, kCtrlZ) >> to_row;
    }
    return {transposed(m.nul), transposed(m.lf), transposed(m.cr), transposed(m.ctrl_z)};
}

}  // namespace

const Kernel kPortableKernel =
    scanning_kernel<plain_run<false>, plain_run<true>, classify>("portable", always);

}  // namespace zeilfuge
