// The scalar helpers every kernel may call, built with no instruction set of its own, so that
// they run on every processor: the plain stores of lines, packing bytes one at a time, records
// placed in words, and the period of the records' output that the shuffling kernels work from.
#include <bit>
#include <cstring>
#include <numeric>

#include "kernels.hpp"

namespace zeilfuge {
namespace {

#include "kernel_generic.hpp"

}  // namespace

std::size_t scalar_put_lines(RegionLines& lines, const std::uint16_t* ends, std::size_t count) {
    return put_lines_with([](Byte*, const Byte*, std::size_t, std::size_t) { return false; }, lines,
                          ends, count);
}

// Where few bytes are kept (records padded with NULs, sparse files), a step per kept byte;
// else, without a branch per byte, each byte stored and overwritten by the next unless kept.
std::size_t scalar_compress(const Byte* in, std::uint64_t keep, Byte* out) {
    std::size_t n = 0;
    if (count_bits(keep) <= static_cast<int>(kGroup / 4)) {
        for (; keep != 0; keep &= keep - 1)
            out[n++] = in[__builtin_ctzll(keep)];
        return n;
    }
    for (std::size_t i = 0; i < kGroup; ++i) {
        out[n] = in[i];
        n += (keep >> i) & 1;
    }
    return n;
}

// Each kept byte with what goes before it, CR LF for a break and a CR for a line end, in one
// store of four bytes; the next byte's store starts where these bytes end. A byte not kept has
// neither, and its store is overwritten.
std::size_t scalar_insert_group(const Byte* in, std::uint64_t kept, std::uint64_t breaks,
                                std::uint64_t line_ends, Byte* out) {
    // By a break (bit 0) and a line end (bit 1): the bytes before the byte, the first lowest.
    static constexpr std::uint32_t kBefore[4] = {0, 0x0A0D, 0x0D, 0x0D0A0D};
    std::size_t n = 0;
    for (std::size_t i = 0; i < kGroup; ++i) {
        const auto broke = static_cast<unsigned>(breaks >> i & 1);
        const auto ends_line = static_cast<unsigned>(line_ends >> i & 1);
        const unsigned before = 2 * broke + ends_line;  // bytes
        std::uint32_t word = kBefore[broke | ends_line << 1] | std::uint32_t{in[i]} << (8 * before);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
        std::memcpy(out + n, &word, 4);
        n += before + static_cast<std::size_t>(kept >> i & 1);
    }
    return n;
}

// A step per set bit of mask up to the last of bits that it places: the bits the conversion
// deposits are sparse, a record break every so many data bytes.
std::uint64_t scalar_deposit(std::uint64_t bits, std::uint64_t mask) {
    std::uint64_t placed = 0;
    for (; bits != 0 && mask != 0; bits >>= 1, mask &= mask - 1) {
        placed |= mask & (~mask + 1) & -(bits & 1);
    }
    return placed;
}

// One record of a byte: eight input bytes become three 64-bit words, so the loop costs about
// a cycle a byte. Longer ones are copied in pieces of 16 bytes.
Byte* scalar_short_records(const Byte* in, std::size_t length, std::size_t count, Byte* out) {
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
        for (std::size_t j = 0; j < length; j += 16)
            copy_16(out + 2 + j, in + j);
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

}  // namespace zeilfuge
