// 32 bytes at a time with AVX2. Built with -mavx2 and used only where the processor has it;
// kernel_generic.hpp says why it uses no library templates.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "kernels.hpp"

namespace zeilfuge {
namespace {

#include "kernel_generic.hpp"

__m256i load(const Byte* at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

void store(Byte* at, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), v);
}

// All four special bytes are at most 0x1A, so min(v, 0x1A) == v marks every candidate.
std::uint32_t candidates(__m256i v) {
    const __m256i top = _mm256_set1_epi8(static_cast<char>(kCtrlZ));
    return static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(v, top), v)));
}

std::uint32_t equal(__m256i v, Byte b) {
    return static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(b)))));
}

template <bool kCopy>
std::size_t plain_run(const Byte* in, const Byte* end, Byte* out) {
    const Byte* p = in;
    while (end - p >= 64) {
        const __m256i a = load(p);
        const __m256i b = load(p + 32);
        if constexpr (kCopy) {
            // Bytes beyond a special byte are stored too; what follows overwrites them.
            store(out + (p - in), a);
            store(out + (p - in) + 32, b);
        }
        if (candidates(_mm256_min_epu8(a, b)) != 0) {
            std::uint64_t mask = candidates(a) | std::uint64_t{candidates(b)} << 32;
            for (; mask != 0; mask &= mask - 1) {
                const auto at = static_cast<std::size_t>(__builtin_ctzll(mask));
                if (is_special(p[at])) return static_cast<std::size_t>(p - in) + at;
            }
        }
        p += 64;
    }
    for (; p != end && !is_special(*p); ++p) {
        if constexpr (kCopy) out[p - in] = *p;
    }
    return static_cast<std::size_t>(p - in);
}

// Always inlined into the search for line ends: GCC made it a call per group there, with the
// masks passed back through memory.
[[gnu::always_inline]] inline SpecialMasks classify(const Byte* in) {
    const __m256i a = load(in);
    const __m256i b = load(in + 32);
    auto both = [&](Byte x) { return equal(a, x) | std::uint64_t{equal(b, x)} << 32; };
    return {both(0x00), both(0x0A), both(0x0D), both(kCtrlZ)};
}

// For each set of kept bytes among eight, the shuffle that moves them to the front.
struct Shuffles {
    std::uint64_t of[256];
};

constexpr Shuffles make_shuffles() {
    Shuffles table{};
    for (unsigned keep = 0; keep < 256; ++keep) {
        std::uint64_t indices = 0;
        unsigned n = 0;
        for (unsigned i = 0; i < 8; ++i) {
            if ((keep >> i & 1) != 0) indices |= std::uint64_t{i} << (8 * n++);
        }
        table.of[keep] = indices;
    }
    return table;
}

constexpr Shuffles kShuffles = make_shuffles();

std::size_t compress(const Byte* in, std::uint64_t keep, Byte* out) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < kGroup; i += 8) {
        const auto bits = static_cast<unsigned>(keep >> i & 0xFF);
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i));
        const __m128i order = _mm_cvtsi64_si128(static_cast<long long>(kShuffles.of[bits]));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + n), _mm_shuffle_epi8(bytes, order));
        n += static_cast<std::size_t>(__builtin_popcount(bits));
    }
    return n;
}

// Records of one byte: sixteen input bytes become three stores of sixteen, each a shuffle that
// puts the data bytes in every third place, with CR LF filled in around them.
struct SingleByteShuffles {
    alignas(16) Byte order[3][16];
    alignas(16) Byte line_ends[3][16];
};

Byte* single_byte_records(const Byte* in, std::size_t count, Byte* out) {
    static constexpr SingleByteShuffles kShuffled = [] {
        SingleByteShuffles s{};
        for (std::size_t j = 0; j < 48; ++j) {
            s.order[j / 16][j % 16] = j % 3 == 2 ? static_cast<Byte>(j / 3) : 0x80;
            s.line_ends[j / 16][j % 16] = j % 3 == 0 ? 0x0D : j % 3 == 1 ? 0x0A : 0x00;
        }
        return s;
    }();
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16, out += 48) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        for (std::size_t k = 0; k < 3; ++k) {
            const __m128i order =
                _mm_load_si128(reinterpret_cast<const __m128i*>(kShuffled.order[k]));
            const __m128i ends =
                _mm_load_si128(reinterpret_cast<const __m128i*>(kShuffled.line_ends[k]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * k),
                             _mm_or_si128(_mm_shuffle_epi8(bytes, order), ends));
        }
    }
    return scalar_short_records(in + i, 1, count - i, out);
}

// Records up to this length are placed by shuffles. Longer ones are copied 32 bytes at a time:
// a record of more than about 20 bytes needs more shuffles than copies.
constexpr std::size_t kShuffledRecord = 16;

// As in the AVX-512 kernel, the output of records of one length is periodic, and every 32
// bytes of it are worked out once per length: in each 16-byte half, a shuffle of the 16 input
// bytes from where the half's data starts, with CR and LF added where the shuffle leaves
// zeros. The shuffles repeat after (length + 2) / gcd(32, length + 2) steps.
struct RecordShuffles {
    alignas(32) Byte order[kShuffledRecord + 2][32];
    alignas(32) Byte line_ends[kShuffledRecord + 2][32];
    std::uint16_t from[kShuffledRecord + 2][2];  // each half's input
    std::size_t length = 0;
    std::size_t steps = 0;
    std::size_t round_input = 0;  // the input bytes all the steps take
};

// Not inlined: it runs once per length, and inside short_records it left GCC too few
// registers for the loops, which then worked out the thread-local table's address, reloaded
// the output position or copied each piece to the stack again at every step.
[[gnu::noinline]] const RecordShuffles& shuffles_for(std::size_t length) {
    // Per thread, as conversions in several threads may use different lengths.
    thread_local RecordShuffles shuffles;
    if (shuffles.length == length) return shuffles;
    shuffles.length = length;
    shuffles.steps = record_steps(length, 32);
    for (std::size_t step = 0; step < shuffles.steps; ++step) {
        for (std::size_t j = 0; j < 32; ++j) {
            const std::size_t at = 32 * step + j;
            const std::size_t first = record_input_before(length, at - j % 16);  // the half's
            shuffles.from[step][j / 16] = static_cast<std::uint16_t>(first);
            const std::size_t in_break = at % (length + 2);
            shuffles.order[step][j] =
                in_break < 2 ? 0x80 : static_cast<Byte>(record_input_before(length, at) - first);
            shuffles.line_ends[step][j] = in_break == 0 ? 0x0D : in_break == 1 ? 0x0A : 0x00;
        }
    }
    shuffles.round_input = record_input_before(length, 32 * shuffles.steps);
    return shuffles;
}

// Places the records from in until the output reaches end, by the shuffles.
Byte* shuffle_records(const Byte* in, Byte* out, Byte* const end, const RecordShuffles& shuffles) {
    // In locals: stores through a byte pointer could change the table, as far as the
    // compiler knows, and it would load these again after every one.
    const std::size_t steps = shuffles.steps;
    const std::size_t round_input = shuffles.round_input;
    const std::uint16_t(*const from)[2] = shuffles.from;
    const Byte(*const order)[32] = shuffles.order;
    const Byte(*const line_ends)[32] = shuffles.line_ends;
    auto place = [&](std::size_t step) {
        const __m256i bytes =
            _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(in + from[step][1]),
                                reinterpret_cast<const __m128i*>(in + from[step][0]));
        const __m256i placed = _mm256_shuffle_epi8(
            bytes, _mm256_load_si256(reinterpret_cast<const __m256i*>(order[step])));
        store(out + 32 * step,
              _mm256_or_si256(
                  placed, _mm256_load_si256(reinterpret_cast<const __m256i*>(line_ends[step]))));
    };
    // A round of all the steps at a time, each step's input at a fixed place from the round's.
    const auto round_output = static_cast<std::ptrdiff_t>(32 * steps);
    for (; end - out >= round_output; in += round_input, out += round_output) {
        for (std::size_t step = 0; step < steps; ++step)
            place(step);
    }
    // The last store may reach up to 31 bytes beyond the end, and the last load 15 beyond
    // the last record.
    for (std::size_t step = 0; out + 32 * step < end; ++step)
        place(step);
    return end;
}

Byte* short_records(const Byte* in, std::size_t length, std::size_t count, Byte* out) {
    if (length == 1) return single_byte_records(in, count, out);
    Byte* const end = out + count * (length + 2);
    if (length > kShuffledRecord) {
        for (; out != end; in += length, out += length + 2) {
            out[0] = 0x0D;
            out[1] = 0x0A;
            for (std::size_t j = 0; j < length; j += 32)
                store(out + 2 + j, load(in + j));
        }
        return end;
    }
    return shuffle_records(in, out, end, shuffles_for(length));
}

std::uint64_t deposit(std::uint64_t bits, std::uint64_t mask) {
    return _pdep_u64(bits, mask);
}

// Four input bytes at a time become up to 16 output bytes by one shuffle, chosen by the state
// of each of the four: 0 when it is not kept, else 1, plus 2 for a break (CR LF before it) and
// 1 for a line end (a CR before it). The four states are the digits of a number in base 5, the
// first lowest. The shuffle's source holds the four bytes, then a CR and an LF.
constexpr std::size_t kStates = 5 * 5 * 5 * 5;
constexpr Byte kSourceCr = 4;
constexpr Byte kSourceLf = 5;

struct Expansions {
    alignas(16) Byte order[kStates][16];
    Byte size[kStates];
};

constexpr Expansions kExpansions = [] {
    Expansions table{};
    for (unsigned states = 0; states < kStates; ++states) {
        unsigned at = 0;
        auto put = [&](Byte from) { table.order[states][at++] = from; };
        for (unsigned j = 0, rest = states; j < 4; ++j, rest /= 5) {
            const unsigned state = rest % 5;
            if (state == 0) continue;
            if ((state - 1) & 2) {
                put(kSourceCr);
                put(kSourceLf);
            }
            if ((state - 1) & 1) put(kSourceCr);
            put(static_cast<Byte>(j));
        }
        table.size[states] = static_cast<Byte>(at);
        while (at < 16)
            put(0x80);
    }
    return table;
}();

// 0xFF in byte i where bit i of the mask is set.
__m256i bytes_of(std::uint32_t mask) {
    const __m256i spread =
        _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(mask)),
                            _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2,
                                             2, 2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3));
    const __m256i bit = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
    return _mm256_cmpeq_epi8(_mm256_and_si256(spread, bit), bit);
}

// Each four input bytes by one shuffle: the states of all 64 bytes in two registers, their
// numbers by two multiply-adds, then a shuffle from the table and one store for each four.
std::size_t insert_group(const Byte* in, std::uint64_t kept, std::uint64_t breaks,
                         std::uint64_t line_ends, Byte* out) {
    alignas(32) std::uint32_t numbers[kGroup / 4];
    for (std::size_t half = 0; half < 2; ++half) {
        const auto bits = [&](std::uint64_t mask) {
            return bytes_of(static_cast<std::uint32_t>(mask >> (32 * half)));
        };
        const __m256i one = _mm256_set1_epi8(1);
        const __m256i two = _mm256_set1_epi8(2);
        const __m256i before = _mm256_or_si256(_mm256_and_si256(bits(breaks), two),
                                               _mm256_and_si256(bits(line_ends), one));
        const __m256i state = _mm256_and_si256(bits(kept), _mm256_add_epi8(one, before));
        const __m256i pairs = _mm256_maddubs_epi16(state, _mm256_set1_epi16(5 << 8 | 1));
        const __m256i fours = _mm256_madd_epi16(pairs, _mm256_set1_epi32(25 << 16 | 1));
        _mm256_store_si256(reinterpret_cast<__m256i*>(numbers + 8 * half), fours);
    }
    const __m128i crlf = _mm_setr_epi8(0, 0, 0, 0, 0x0D, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    std::size_t n = 0;
    for (std::size_t i = 0; i < kGroup / 4; ++i) {
        std::uint32_t four;
        std::memcpy(&four, in + 4 * i, 4);
        const __m128i source = _mm_or_si128(_mm_cvtsi32_si128(static_cast<int>(four)), crlf);
        const __m128i order =
            _mm_load_si128(reinterpret_cast<const __m128i*>(kExpansions.order[numbers[i]]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n), _mm_shuffle_epi8(source, order));
        n += kExpansions.size[numbers[i]];
    }
    return n;
}

bool has_avx2() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
}

}  // namespace

const Kernel kAvx2Kernel = {
    .name = "avx2",
    .runs_here = has_avx2,
    .find_special = find_special_by<plain_run<false>>,
    .copy_plain = plain_run<true>,
    .find_line_ends = find_line_ends_by<classify>,
    .put_lines = scalar_put_lines,
    .short_records = short_records,
    .plain_records = scanned_records<find_special_by<plain_run<false>>, short_records>,
    .classify = classify,
    .compress = compress,
    .deposit = deposit,
    .insert_group = insert_group,
};

}  // namespace zeilfuge
