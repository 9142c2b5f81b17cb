// The kernel of every processor: eight bytes at a time in 64-bit words.
#include <bit>
#include <cstring>
#include <numeric>

#include "kernels.hpp"

namespace zeilfuge {
namespace {

using Byte = unsigned char;

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = kOnes * 0x80;
constexpr Byte kCtrlZ = 0x1A;

bool is_special(Byte b) {
    return b == 0x00 || b == 0x0A || b == 0x0D || b == kCtrlZ;
}

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
            const int bit = std::endian::native == std::endian::little ? std::countr_zero(mask)
                                                                       : std::countl_zero(mask);
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

std::size_t find_special(const Byte* in, const Byte* end) {
    return plain_run<false>(in, end, nullptr);
}

std::size_t copy_plain(const Byte* in, const Byte* end, Byte* out) {
    return plain_run<true>(in, end, out);
}

// The eight bytes at p as a word with the first byte lowest, on either byte order.
std::uint64_t load_low_first(const Byte* p) {
    std::uint64_t x;
    std::memcpy(&x, p, 8);
    if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
    return x;
}

// One bit per byte equal to b, bit i for byte i.
unsigned bytes_equal(std::uint64_t x, Byte b) {
    const std::uint64_t y = x ^ kOnes * b;
    // The top bit of each byte of y | ((y & 0x7F...) + 0x7F...) is set when the byte isn't 0.
    const std::uint64_t zero = ~(((y & ~kHighs) + ~kHighs) | y) & kHighs;
    // Gathers the eight top bits into the top byte, in order, without carries between them.
    return static_cast<unsigned>(((zero >> 7) * 0x0102040810204080ULL) >> 56);
}

// Always inlined into the search for line ends: GCC made it a call per group there, with the
// masks passed back through memory.
[[gnu::always_inline]] inline SpecialMasks classify(const Byte* in) {
    SpecialMasks m;
    for (std::size_t w = 0; w < kGroup / 8; ++w) {
        const std::uint64_t x = load_low_first(in + 8 * w);
        m.nul |= std::uint64_t{bytes_equal(x, 0x00)} << (8 * w);
        m.lf |= std::uint64_t{bytes_equal(x, 0x0A)} << (8 * w);
        m.cr |= std::uint64_t{bytes_equal(x, 0x0D)} << (8 * w);
        m.ctrl_z |= std::uint64_t{bytes_equal(x, kCtrlZ)} << (8 * w);
    }
    return m;
}

std::size_t find_line_ends(const Byte* in, std::size_t groups, std::uint16_t* ends,
                           std::size_t& scanned) {
    return find_line_ends_with([](const Byte* group) { return classify(group); }, in, groups, ends,
                               scanned);
}

bool always() {
    return true;
}

}  // namespace

// Without a branch per byte: each byte is stored, and the next one overwrites it unless kept.
// Plain stores of a fixed size; only AVX-512 has wider ones that pay.
std::size_t portable_put_lines(RegionLines& lines, const std::uint16_t* ends, std::size_t count) {
    return put_lines_with([](Byte*, const Byte*, std::size_t, std::size_t) { return false; }, lines,
                          ends, count);
}

std::size_t portable_compress(const Byte* in, std::uint64_t keep, Byte* out) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < kGroup; ++i) {
        out[n] = in[i];
        n += (keep >> i) & 1;
    }
    return n;
}

// One record of a byte: eight input bytes become three 64-bit words, so the loop costs about
// a cycle a byte. Longer ones are copied in pieces of 16 bytes, one load and one store each,
// in two words: GCC 12 at -O3 turned a single 16-byte memcpy here into aligned loads, which
// fault on input at an odd address.
unsigned char* portable_short_records(const Byte* in, std::size_t length, std::size_t count,
                                      Byte* out) {
    std::size_t i = 0;
    if (length == 1 && std::endian::native == std::endian::little) {
        for (; i + 8 <= count; i += 8, out += 24) {
            std::uint64_t x;
            std::memcpy(&x, in + i, 8);
            auto at = [x](int from, int to) { return (x >> (8 * from) & 0xFF) << (8 * to); };
            const std::uint64_t w0 = 0x0A0D000A0D000A0DULL | at(0, 2) | at(1, 5);
            const std::uint64_t w1 = 0x0D000A0D000A0D00ULL | at(2, 0) | at(3, 3) | at(4, 6);
            const std::uint64_t w2 = 0x000A0D000A0D000AULL | at(5, 1) | at(6, 4) | at(7, 7);
            std::memcpy(out, &w0, 8);
            std::memcpy(out + 8, &w1, 8);
            std::memcpy(out + 16, &w2, 8);
        }
    }
    for (in += i * length; i < count; ++i, in += length, out += length + 2) {
        out[0] = 0x0D;
        out[1] = 0x0A;
        for (std::size_t j = 0; j < length; j += 16) {
            std::uint64_t low;
            std::uint64_t high;
            std::memcpy(&low, in + j, 8);
            std::memcpy(&high, in + j + 8, 8);
            std::memcpy(out + 2 + j, &low, 8);
            std::memcpy(out + 2 + j + 8, &high, 8);
        }
    }
    return out;
}

std::size_t record_input_before(std::size_t length, std::size_t at) {
    const std::size_t period = length + 2;
    const std::size_t in_record = at % period;
    return at / period * length + (in_record > 2 ? in_record - 2 : 0);
}

std::size_t record_steps(std::size_t length, std::size_t width) {
    const std::size_t period = length + 2;
    return period / std::gcd(width, period);
}

const Kernel kPortableKernel = {
    .name = "portable",
    .runs_here = always,
    .find_special = find_special,
    .copy_plain = copy_plain,
    .find_line_ends = find_line_ends,
    .put_lines = portable_put_lines,
    .short_records = portable_short_records,
    .plain_records = scanned_records<find_special, portable_short_records>,
    .classify = classify,
    .compress = portable_compress,
};

}  // namespace zeilfuge
