// The scalar helpers every kernel may call, built with no instruction set of its own, so that
// they run on every processor: the plain stores of lines, packing and placing bytes in words,
// records placed in words, and the period of the records' output that the shuffling kernels
// work from.
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

namespace {

// The eight bits of a byte one to a byte of a word, bit j as 0 or 1 in byte j: the byte copied
// to all eight, bit j kept in byte j, and made 1 by a carry into the byte's top bit.
constexpr std::uint64_t spread(std::uint64_t bits) {
    return ((bits * kOnes & 0x8040201008040201ULL) + kOnes * 0x7F) >> 7 & kOnes;
}

// How the eight bytes of a word are packed, by the eight bits that say which are kept: the
// kept bytes as a mask; the bytes that each of three steps moves down by 1, 2 and 4 places,
// those with an odd count of dropped bytes below them of the ones the step still counts (the
// packing of bits by parallel suffixes, done on bytes); and how many are kept.
struct Packing {
    std::uint64_t kept[256];
    std::uint64_t moves[256][3];
    Byte count[256];
};

constexpr Packing kPacking = [] {
    Packing table{};
    for (unsigned keep = 0; keep < 256; ++keep) {
        unsigned mask = keep;
        unsigned below = ~keep << 1 & 0xFF;  // the dropped bytes below each, to count
        for (unsigned step = 0; step < 3; ++step) {
            unsigned odd = below ^ (below << 1);
            odd ^= odd << 2;
            odd ^= odd << 4;
            odd &= 0xFF;
            const unsigned moved = odd & mask;
            mask = (mask ^ moved) | moved >> (1u << step);
            below &= ~odd;
            table.moves[keep][step] = spread(moved) * 0xFF;
        }
        table.kept[keep] = spread(keep) * 0xFF;
        for (unsigned j = 0; j < 8; ++j)
            table.count[keep] = static_cast<Byte>(table.count[keep] + (keep >> j & 1));
    }
    return table;
}();

}  // namespace

// Where few bytes are kept (records padded with NULs, sparse files), a step per kept byte;
// else each eight bytes packed in a word by three masked shifts, with no branch on the bytes.
std::size_t scalar_compress(const Byte* in, std::uint64_t keep, Byte* out) {
    std::size_t n = 0;
    if (count_bits(keep) <= static_cast<int>(kGroup / 4)) {
        for (; keep != 0; keep &= keep - 1)
            out[n++] = in[__builtin_ctzll(keep)];
        return n;
    }
    for (std::size_t i = 0; i < kGroup; i += 8) {
        const auto bits = static_cast<unsigned>(keep >> i & 0xFF);
        std::uint64_t x;
        std::memcpy(&x, in + i, 8);
        if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
        x &= kPacking.kept[bits];
        for (unsigned step = 0; step < 3; ++step) {
            const std::uint64_t moved = x & kPacking.moves[bits][step];
            x = (x ^ moved) | moved >> (8u << step);
        }
        if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
        std::memcpy(out + n, &x, 8);
        n += kPacking.count[bits];
    }
    return n;
}

namespace {

// By a break (bit 0) and a line end (bit 1): the bytes that go before a byte, CR LF for a
// break and a CR for a line end, the first lowest.
constexpr std::uint32_t kBefore[4] = {0, 0x0A0D, 0x0D, 0x0D0A0D};

// Each byte with what goes before it in one store of four bytes at out; returns how many of
// them count. A byte not kept has neither, and the next store overwrites it.
std::size_t put_with_before(Byte byte, unsigned broke, unsigned ends_line, unsigned kept,
                            Byte* out) {
    const unsigned before = 2 * broke + ends_line;  // bytes
    std::uint32_t word = kBefore[broke | ends_line << 1] | std::uint32_t{byte} << (8 * before);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
    std::memcpy(out, &word, 4);
    return before + kept;
}

// A byte's code: bit 0 its break, bit 1 its line end, bit 2 whether it is kept; and for two
// bytes the first's code and the second's above it. What a pair takes by its code: the bytes
// that go before each of the two, the shifts that place each behind them, and how many count.
// A byte not kept goes to the top byte, beyond those that count.
struct ByPair {
    std::uint64_t before[64];
    Byte shift[2][64];
    Byte counted[64];
};

constexpr ByPair kByPair = [] {
    ByPair table{};
    for (unsigned code = 0; code < 64; ++code) {
        unsigned at = 0;  // bytes
        for (unsigned second = 0; second < 2; ++second) {
            const unsigned byte_code = code >> (3 * second) & 7;
            table.before[code] |= std::uint64_t{kBefore[byte_code & 3]} << (8 * at);
            at += 2 * (byte_code & 1) + (byte_code >> 1 & 1);
            const unsigned kept = byte_code >> 2;
            table.shift[second][code] = static_cast<Byte>(8 * (kept != 0 ? at : 7));
            at += kept;
        }
        table.counted[code] = static_cast<Byte>(at);
    }
    return table;
}();

// The eight bits of each byte value spread to the eight bytes of a word: spread(bits).
struct Spread {
    std::uint64_t of[256];
};

constexpr Spread kSpread = [] {
    Spread table{};
    for (unsigned bits = 0; bits < 256; ++bits)
        table.of[bits] = spread(bits);
    return table;
}();

// The codes of eight bytes from the bytes of the three masks, those of each pair in the low
// bits of a 16-bit lane, the first pair lowest.
std::uint64_t pair_codes(std::uint64_t broke, std::uint64_t ends_line, std::uint64_t kept) {
    const std::uint64_t codes =
        kSpread.of[broke] | kSpread.of[ends_line] << 1 | kSpread.of[kept] << 2;
    return (codes & 0x0007000700070007ULL) | (codes >> 5 & 0x0038003800380038ULL);
}

}  // namespace

// The bytes that are kept and draw nothing before them come in runs between the others: each
// run is copied whole by one copy of a group's size, and only the others take a store each.
// Where they are more than a quarter of the group, every pair of bytes takes one store, with
// no branch on the runs; where a quarter or fewer are kept, each kept byte takes one.
std::size_t scalar_insert_group(const Byte* in, std::uint64_t kept, std::uint64_t breaks,
                                std::uint64_t line_ends, Byte* out) {
    const std::uint64_t others = ~kept | breaks | line_ends;
    std::size_t n = 0;
    if (count_bits(kept) <= static_cast<int>(kGroup / 4)) {
        for (; kept != 0; kept &= kept - 1) {
            const auto at = static_cast<unsigned>(__builtin_ctzll(kept));
            n += put_with_before(in[at], breaks >> at & 1, line_ends >> at & 1, 1, out + n);
        }
        return n;
    }
    if (count_bits(others) > static_cast<int>(kGroup / 4)) {
        for (std::size_t i = 0; i < kGroup; i += 8) {
            std::uint64_t codes =
                pair_codes(breaks >> i & 0xFF, line_ends >> i & 0xFF, kept >> i & 0xFF);
            for (std::size_t j = i; j < i + 8; j += 2, codes >>= 16) {
                const auto code = static_cast<unsigned>(codes & 0x3F);
                std::uint64_t word = kByPair.before[code] |
                                     std::uint64_t{in[j]} << kByPair.shift[0][code] |
                                     std::uint64_t{in[j + 1]} << kByPair.shift[1][code];
                if constexpr (std::endian::native == std::endian::big)
                    word = __builtin_bswap64(word);
                std::memcpy(out + n, &word, 8);
                n += kByPair.counted[code];
            }
        }
        return n;
    }
    Byte group[2 * kGroup];  // a run's copy reads the group's size from where the run starts
    for (std::size_t i = 0; i < kGroup; i += 16)
        copy_16(group + i, in + i);
    std::memset(group + kGroup, 0, kGroup);
    std::size_t from = 0;  // where the run starts
    for (std::uint64_t rest = others;; rest &= rest - 1) {
        const std::size_t at = rest != 0 ? static_cast<std::size_t>(__builtin_ctzll(rest)) : kGroup;
        for (std::size_t i = 0; i < kGroup; i += 16)
            copy_16(out + n + i, group + from + i);
        n += at - from;
        if (at == kGroup) return n;
        n += put_with_before(group[at], breaks >> at & 1, line_ends >> at & 1, kept >> at & 1,
                             out + n);
        from = at + 1;
    }
}

namespace {

// The place of the k-th set bit of each byte value, counted from 0; 0 beyond its count.
struct InByte {
    Byte place[8][256];
};

constexpr InByte kInByte = [] {
    InByte table{};
    for (unsigned bits = 0; bits < 256; ++bits) {
        unsigned k = 0;
        for (unsigned place = 0; place < 8; ++place) {
            if ((bits >> place & 1) != 0) table.place[k++][bits] = static_cast<Byte>(place);
        }
    }
    return table;
}();

// The place of bit k of mask's set bits, counted from 0 (k below their count), without a
// branch: the counts of mask's bytes summed up to each find the byte that holds it, and a
// table its place in the byte. sums is byte_sums(mask).
unsigned select_bit(std::uint64_t mask, std::uint64_t sums, unsigned k) {
    // A byte's top bit is set where the sum up to it is k or less: those before bit k's byte.
    const std::uint64_t before = ((kOnes * k | kHighs) - sums) & kHighs;
    const auto byte = static_cast<unsigned>(__builtin_ctzll(~before & kHighs)) - 7;  // in bits
    const unsigned rank = k - static_cast<unsigned>((sums << 8) >> byte & 0xFF);
    return byte + kInByte.place[rank][mask >> byte & 0xFF];
}

}  // namespace

// The bits the conversion deposits are a record break every so many data bytes: for records
// of 8 bytes and more a few, each placed by a select; more of them, a step per set bit of mask.
std::uint64_t scalar_deposit(std::uint64_t bits, std::uint64_t mask) {
    std::uint64_t placed = 0;
    const std::uint64_t sums = byte_sums(mask);
    const auto count = static_cast<unsigned>(sums >> 56);
    if (count < 64) bits &= (std::uint64_t{1} << count) - 1;
    if (count_bits(bits) <= 8) {
        for (; bits != 0; bits &= bits - 1) {
            const auto k = static_cast<unsigned>(__builtin_ctzll(bits));
            placed |= std::uint64_t{1} << select_bit(mask, sums, k);
        }
        return placed;
    }
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
