// 64 bytes at a time with AVX-512 (F, BW, VL, VBMI, VBMI2): one compare gives a 64-bit mask,
// vpcompressb packs the kept bytes of a group, and vpermt2b spreads bytes among CR LFs. Built with
// those flags and used only where the processor has them; kernel_generic.hpp says why it uses
// no library templates.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "kernels.hpp"

namespace zeilfuge {
namespace {

#include "kernel_generic.hpp"

__m512i load(const Byte* at) {
    return _mm512_loadu_si512(at);
}

void store(Byte* at, __m512i v) {
    _mm512_storeu_si512(at, v);
}

std::uint64_t equal(__m512i v, Byte b) {
    return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(b)));
}

// The special bytes of v among those in `which`, exactly, in two instructions: each byte looks
// up its low six bits in a table that holds the special byte with those bits, or a byte whose
// low bit differs where there is none, and only a special byte equals what it finds.
struct alignas(64) Bytes64 {
    Byte at[64];
};

constexpr Bytes64 kSpecialOfLowBits = [] {
    Bytes64 table{};
    for (std::size_t i = 0; i < 64; ++i)
        table.at[i] = static_cast<Byte>(is_special(static_cast<Byte>(i)) ? i : i ^ 1);
    return table;
}();

// (The two-source permute with the table twice: the one-source one trips GCC 12's warning
// about an uninitialized value.)
std::uint64_t exact_specials(__m512i v, std::uint64_t which) {
    const __m512i table = _mm512_load_si512(kSpecialOfLowBits.at);
    return _mm512_mask_cmpeq_epi8_mask(which, _mm512_permutex2var_epi8(table, v, table), v);
}

// The same for 32 bytes, whose low five bits find the same table's first half.
std::uint32_t exact_specials(__m256i v, __mmask32 which) {
    const __m256i table = _mm256_load_si256(reinterpret_cast<const __m256i*>(kSpecialOfLowBits.at));
    return _mm256_mask_cmpeq_epi8_mask(which, _mm256_permutex2var_epi8(table, v, table), v);
}

template <bool kCopy>
std::size_t plain_run(const Byte* in, const Byte* end, Byte* out) {
    const Byte* p = in;
    while (end - p >= 64) {
        const __m512i v = load(p);
        // Bytes beyond a special byte are stored too; what follows overwrites them.
        if constexpr (kCopy) store(out + (p - in), v);
        const std::uint64_t mask = exact_specials(v, ~std::uint64_t{0});
        if (mask != 0) return static_cast<std::size_t>(p - in) + __builtin_ctzll(mask);
        p += 64;
    }
    if (p != end) {
        // The rest under a mask: nothing beyond end is read or written.
        const __mmask64 rest = _cvtu64_mask64((~std::uint64_t{0}) >> (64 - (end - p)));
        const __m512i v = _mm512_maskz_loadu_epi8(rest, p);
        const std::uint64_t mask = exact_specials(v, rest);
        const std::size_t n = mask != 0 ? __builtin_ctzll(mask) : static_cast<std::size_t>(end - p);
        if constexpr (kCopy) _mm512_mask_storeu_epi8(out + (p - in), rest, v);
        p += n;
    }
    return static_cast<std::size_t>(p - in);
}

SpecialMasks classify(const Byte* in) {
    const __m512i v = load(in);
    return {equal(v, 0x00), equal(v, 0x0A), equal(v, 0x0D), equal(v, kCtrlZ)};
}

// As find_line_ends_by, without a step per line end: each group's offsets, doubled and
// marked, are packed with vpcompressb and widened to 16 bits in one store.
std::size_t find_line_ends(const Byte* in, std::size_t groups, std::uint16_t* ends,
                           std::size_t& scanned) {
    static constexpr Bytes64 kDoubled = [] {
        Bytes64 doubled{};
        for (std::size_t i = 0; i < 64; ++i)
            doubled.at[i] = static_cast<Byte>(2 * i);
        return doubled;
    }();
    const __m512i doubled = _mm512_load_si512(kDoubled.at);
    const __m512i ones = _mm512_set1_epi8(1);
    std::size_t count = 0;
    std::uint64_t cr_before = 0;  // the CR at the end of the group before, as bit 0
    for (std::size_t g = 0; g < groups; ++g) {
        const Byte* const group = in + g * kGroup;
        const __m512i v = load(group);
        const std::uint64_t lf_all = equal(v, 0x0A);
        const std::uint64_t cr = equal(v, 0x0D);
        const std::uint64_t next_is_lf = group[kGroup] == 0x0A ? 1 : 0;
        const std::uint64_t lone_cr = cr & ~(lf_all >> 1 | next_is_lf << 63);
        const std::uint64_t stop = _mm512_testn_epi8_mask(v, v) | equal(v, kCtrlZ) | lone_cr;
        const std::uint64_t lf = lf_all & (stop - 1) & ~stop;
        const __m512i marked = _mm512_mask_add_epi8(doubled, cr << 1 | cr_before, doubled, ones);
        const __m512i packed = _mm512_maskz_compress_epi8(lf, marked);
        const __m512i base = _mm512_set1_epi16(static_cast<short>(2 * g * kGroup));
        // Widens 32 of the packed offsets from the given half (the masked extract, as the
        // plain one trips GCC 12's warning about an uninitialized value).
        auto widened = [&](int half) {
            const __m256i bytes = half == 0 ? _mm512_maskz_extracti64x4_epi64(0xFF, packed, 0)
                                            : _mm512_maskz_extracti64x4_epi64(0xFF, packed, 1);
            return _mm512_add_epi16(_mm512_cvtepu8_epi16(bytes), base);
        };
        _mm512_storeu_si512(ends + count, widened(0));
        const auto found = static_cast<std::size_t>(__builtin_popcountll(lf));
        if (found > 32) [[unlikely]]
            _mm512_storeu_si512(ends + count + 32, widened(1));
        count += found;
        if (stop != 0) {
            scanned = g * kGroup + static_cast<std::size_t>(__builtin_ctzll(stop));
            return count;
        }
        cr_before = cr >> 63;
    }
    scanned = groups * kGroup - static_cast<std::size_t>(cr_before);
    return count;
}

// A line and its pad of up to kLineCopy bytes in stores of 64 (three for 192): each the line's
// bytes where they belong, blanks after them.
std::size_t put_lines(RegionLines& lines, const std::uint16_t* ends, std::size_t count) {
    // Whole stores, and each byte's place within the line fits a byte.
    static_assert(kLineCopy % 64 == 0 && kLineCopy <= 256);
    struct alignas(64) Places {
        Byte at[kLineCopy];
    };
    static constexpr Places kPlaces = [] {
        Places places{};
        for (std::size_t i = 0; i < kLineCopy; ++i)
            places.at[i] = static_cast<Byte>(i);
        return places;
    }();
    auto store_wide = [](Byte* out, const Byte* line, std::size_t n, std::size_t total) {
        if (total > kLineCopy) return false;
        const __m512i blanks = _mm512_set1_epi8(' ');
        const __m512i line_bytes = _mm512_set1_epi8(static_cast<char>(n));
        for (std::size_t k = 0; k < kLineCopy; k += 64) {
            const __mmask64 in_line =
                _mm512_cmplt_epu8_mask(_mm512_load_si512(kPlaces.at + k), line_bytes);
            store(out + k, _mm512_mask_blend_epi8(in_line, blanks, load(line + k)));
        }
        return true;
    };
    return put_lines_with(store_wide, lines, ends, count);
}

// Packed in a register and stored whole: a compressing store to memory is slow on some
// processors.
std::size_t compress(const Byte* in, std::uint64_t keep, Byte* out) {
    store(out, _mm512_maskz_compress_epi8(keep, load(in)));
    return static_cast<std::size_t>(__builtin_popcountll(keep));
}

// Records up to this length are placed by permutes. Longer ones are copied 32 bytes at a time,
// which is faster for them than permutes, and than copies of 64 bytes, which a record's last
// piece rarely fills.
constexpr std::size_t kPermutedRecord = 48;

// The output of records of one length is periodic: each record and its break take the same
// length + 2 bytes. Every 64 bytes of it are one two-source byte permute of the 64 input
// bytes from where the last one stopped, with CR and LF taken from a second vector. The
// permutes repeat after (length + 2) / gcd(64, length + 2) steps; they are worked out once
// per length, in the order they are used.
struct RecordPermutes {
    alignas(64) Byte order[kPermutedRecord + 2][64];
    std::uint16_t from[kPermutedRecord + 2];  // where each step's input starts
    std::uint64_t used[kPermutedRecord + 2];  // the bytes of it the step places
    std::size_t length = 0;
    std::size_t steps = 0;
    std::size_t round_input = 0;  // the input bytes all the steps take
};

// Not inlined: it runs once per length, and inside short_records it left GCC too few
// registers for the loops, which then worked out the thread-local table's address, reloaded
// the output position or copied each piece to the stack again at every step.
[[gnu::noinline]] const RecordPermutes& permutes_for(std::size_t length) {
    // Per thread, as conversions in several threads may use different lengths.
    thread_local RecordPermutes permutes;
    if (permutes.length == length) return permutes;
    permutes.length = length;
    permutes.steps = record_steps(length, 64);
    for (std::size_t step = 0; step < permutes.steps; ++step) {
        const std::size_t first = record_input_before(length, 64 * step);
        permutes.from[step] = static_cast<std::uint16_t>(first);
        for (std::size_t j = 0; j < 64; ++j) {
            const std::size_t at = 64 * step + j;
            const std::size_t in_break = at % (length + 2);
            // Bytes 64 and 65 of the pair of sources are CR and LF.
            permutes.order[step][j] = static_cast<Byte>(
                in_break < 2 ? 64 + in_break : record_input_before(length, at) - first);
        }
    }
    permutes.round_input = record_input_before(length, 64 * permutes.steps);
    for (std::size_t step = 0; step < permutes.steps; ++step) {
        const std::size_t next =
            step + 1 < permutes.steps ? permutes.from[step + 1] : permutes.round_input;
        permutes.used[step] = (~std::uint64_t{0}) >> (64 - (next - permutes.from[step]));
    }
    return permutes;
}

// Places the records from in until the output reaches end, by the permutes. With kTest, stops
// at a step that places a special byte of the records, and returns the input's offset of it;
// otherwise returns the input's size.
template <bool kTest>
std::size_t permute_records(const Byte* in, Byte* out, const Byte* const end,
                            const RecordPermutes& permutes, std::size_t size) {
    const __m512i line_end = _mm512_set1_epi16(0x0A0D);  // CR, then LF
    const Byte* const first = in;
    // In locals: stores through a byte pointer could change the table, as far as the
    // compiler knows, and it would load these again after every one.
    const std::size_t steps = permutes.steps;
    const std::size_t round_input = permutes.round_input;
    const std::uint16_t* const from = permutes.from;
    const std::uint64_t* const used = permutes.used;
    const Byte(*const order)[64] = permutes.order;
    // The offset of the first special byte the step places, or size when there is none.
    auto place = [&](std::size_t step) -> std::size_t {
        const __m512i bytes = load(in + from[step]);
        store(out + 64 * step,
              _mm512_permutex2var_epi8(bytes, _mm512_load_si512(order[step]), line_end));
        if constexpr (kTest) {
            const std::uint64_t found = exact_specials(bytes, used[step]);
            if (found != 0) [[unlikely]] {
                const auto at = static_cast<std::size_t>(in + from[step] - first) +
                                static_cast<std::size_t>(__builtin_ctzll(found));
                if (at < size) return at;
            }
        }
        return size;
    };
    // A round of all the steps at a time, each step's input at a fixed place from the round's.
    const auto round_output = static_cast<std::ptrdiff_t>(64 * steps);
    for (; end - out >= round_output; in += round_input, out += round_output) {
        for (std::size_t step = 0; step < steps; ++step) {
            const std::size_t at = place(step);
            if (kTest && at != size) return at;
        }
    }
    // The last store may reach up to 63 bytes beyond the end, and the last load as far beyond
    // the last record.
    for (std::size_t step = 0; out + 64 * step < end; ++step) {
        const std::size_t at = place(step);
        if (kTest && at != size) return at;
    }
    return size;
}

// Records of one byte: 64 input bytes become three stores of 64, by permutes that stay in
// registers. With kTest, stops before the first special byte; returns the records placed.
template <bool kTest>
std::size_t single_byte_records(const Byte* in, std::size_t count, Byte* out) {
    struct alignas(64) Orders {
        Byte at[3][64];
    };
    static constexpr Orders kOrder = [] {
        Orders order{};
        for (std::size_t j = 0; j < 192; ++j)
            order.at[j / 64][j % 64] = static_cast<Byte>(j % 3 == 2 ? j / 3 : 64 + j % 3);
        return order;
    }();
    const __m512i line_end = _mm512_set1_epi16(0x0A0D);  // byte 64 of the pair is CR, 65 LF
    std::size_t i = 0;
    for (; i + 64 <= count; i += 64, out += 192) {
        const __m512i bytes = load(in + i);
        if constexpr (kTest) {
            const std::uint64_t found = exact_specials(bytes, ~std::uint64_t{0});
            if (found != 0) [[unlikely]] {
                const auto plain = static_cast<std::size_t>(__builtin_ctzll(found));
                scalar_short_records(in + i, 1, plain, out);
                return i + plain;
            }
        }
        for (std::size_t k = 0; k < 3; ++k)
            store(out + 64 * k,
                  _mm512_permutex2var_epi8(bytes, _mm512_load_si512(kOrder.at[k]), line_end));
    }
    const std::size_t rest = kTest ? plain_run<false>(in + i, in + count, nullptr) : count - i;
    scalar_short_records(in + i, 1, rest, out);
    return i + rest;
}

// Records longer than kPermutedRecord, 32 bytes at a time. With kTest, stops before the first
// record that holds a special byte; returns the records placed.
template <bool kTest>
std::size_t copy_records(const Byte* in, std::size_t length, std::size_t count, Byte* out) {
    // The record's bytes in its last piece of 32.
    const auto last = static_cast<__mmask32>((~std::uint32_t{0}) >> ((32 - length % 32) % 32));
    for (std::size_t i = 0; i < count; ++i, in += length, out += length + 2) {
        out[0] = 0x0D;
        out[1] = 0x0A;
        std::uint32_t found = 0;
        std::size_t j = 0;
        for (; j + 32 < length; j += 32) {
            const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + j));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 + j), bytes);
            if constexpr (kTest) found |= exact_specials(bytes, ~__mmask32{0});
        }
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + j));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 + j), bytes);
        if constexpr (kTest) {
            if ((found | exact_specials(bytes, last)) != 0) [[unlikely]]
                return i;
        }
    }
    return count;
}

Byte* short_records(const Byte* in, std::size_t length, std::size_t count, Byte* out) {
    if (length == 1) {
        single_byte_records<false>(in, count, out);
        return out + 3 * count;
    }
    const std::size_t size = count * length;
    if (length > kPermutedRecord) {
        copy_records<false>(in, length, count, out);
    } else {
        permute_records<false>(in, out, out + count * (length + 2), permutes_for(length), size);
    }
    return out + count * (length + 2);
}

std::size_t plain_records(const Byte* in, std::size_t length, std::size_t count, Byte* out) {
    if (length == 1) return single_byte_records<true>(in, count, out);
    if (length > kPermutedRecord) return copy_records<true>(in, length, count, out);
    const std::size_t size = count * length;
    return permute_records<true>(in, out, out + count * (length + 2), permutes_for(length), size) /
           length;
}

std::uint64_t deposit(std::uint64_t bits, std::uint64_t mask) {
    return _pdep_u64(bits, mask);
}

// Each input byte's four places, CR, LF, CR and the byte, for 16 bytes at a time: the bytes
// permuted to every fourth place, the rest from a constant, and the places kept packed.
std::size_t insert_group(const Byte* in, std::uint64_t kept, std::uint64_t breaks,
                         std::uint64_t line_ends, Byte* out) {
    static constexpr Bytes64 kEveryFourth = [] {
        Bytes64 order{};
        for (std::size_t j = 0; j < 64; ++j)
            order.at[j] = static_cast<Byte>(j / 4);
        return order;
    }();
    const __m512i bytes = load(in);
    const __m512i line_end_places = _mm512_set1_epi32(0x000D0A0D);
    const __m512i sixteen = _mm512_set1_epi8(16);
    __m512i order = _mm512_load_si512(kEveryFourth.at);
    constexpr std::uint64_t kFourth = 0x1111111111111111ULL;
    std::size_t n = 0;
    for (std::size_t from = 0; from < kGroup; from += 16) {
        const __m512i places =
            _mm512_mask_permutexvar_epi8(line_end_places, kFourth << 3, order, bytes);
        const std::uint64_t keep = _pdep_u64(breaks >> from, kFourth) * 3 |
                                   _pdep_u64(line_ends >> from, kFourth) << 2 |
                                   _pdep_u64(kept >> from, kFourth) << 3;
        store(out + n, _mm512_maskz_compress_epi8(keep, places));
        n += static_cast<std::size_t>(__builtin_popcountll(keep));
        order = _mm512_add_epi8(order, sixteen);
    }
    return n;
}

bool has_avx512() {
    return __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2") &&
           __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("avx512f") &&
           __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512vbmi2");
}

}  // namespace

const Kernel kAvx512Kernel = {
    .name = "avx512",
    .runs_here = has_avx512,
    .find_special = find_special_by<plain_run<false>>,
    .copy_plain = plain_run<true>,
    .find_line_ends = find_line_ends,
    .put_lines = put_lines,
    .short_records = short_records,
    .plain_records = plain_records,
    .classify = classify,
    .compress = compress,
    .deposit = deposit,
    .insert_group = insert_group,
};

}  // namespace zeilfuge
