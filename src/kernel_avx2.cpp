// 32 bytes at a time with AVX2. Built with -mavx2 and used only where the processor has it;
// kernel_generic.hpp says why it uses no library templates.
#include <immintrin.h>

#include <cstdint>
#include <cstring>

#include "kernels.hpp"

namespace zeilfuge {
namespace {

#include "kernel_generic.hpp"
// After it, as it uses what that defines.
#include "kernel_byte_shuffle.hpp"

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
