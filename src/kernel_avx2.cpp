// 32 bytes at a time with AVX2. Built with -mavx2 and used only where the processor has it;
// compiler built-ins rather than library templates, so that no AVX2 copy of a shared inline
// function can end up in the code that other processors run.
#include <immintrin.h>

#include <array>
#include <cstring>

#include "kernels.hpp"

namespace zeilfuge {
namespace {

using Byte = unsigned char;

constexpr Byte kCtrlZ = 0x1A;

bool is_special(Byte b) {
    return b == 0x00 || b == 0x0A || b == 0x0D || b == kCtrlZ;
}

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

std::size_t find_special(const Byte* in, const Byte* end) {
    return plain_run<false>(in, end, nullptr);
}

std::size_t copy_plain(const Byte* in, const Byte* end, Byte* out) {
    return plain_run<true>(in, end, out);
}

SpecialMasks classify(const Byte* in) {
    const __m256i a = load(in);
    const __m256i b = load(in + 32);
    auto both = [&](Byte x) { return equal(a, x) | std::uint64_t{equal(b, x)} << 32; };
    return {both(0x00), both(0x0A), both(0x0D), both(kCtrlZ)};
}

std::size_t find_line_ends(const Byte* in, std::size_t groups, std::uint16_t* ends,
                           std::size_t& scanned) {
    return find_line_ends_with([](const Byte* group) { return classify(group); }, in, groups, ends,
                               scanned);
}

// For each set of kept bytes among eight, the shuffle that moves them to the front.
constexpr std::array<std::uint64_t, 256> make_shuffles() {
    std::array<std::uint64_t, 256> table{};
    for (unsigned keep = 0; keep < 256; ++keep) {
        std::uint64_t indices = 0;
        unsigned n = 0;
        for (unsigned i = 0; i < 8; ++i) {
            if ((keep >> i & 1) != 0) indices |= std::uint64_t{i} << (8 * n++);
        }
        table[keep] = indices;
    }
    return table;
}

constexpr std::array<std::uint64_t, 256> kShuffles = make_shuffles();

std::size_t compress(const Byte* in, std::uint64_t keep, Byte* out) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < kGroup; i += 8) {
        const auto bits = static_cast<unsigned>(keep >> i & 0xFF);
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i));
        const __m128i order = _mm_cvtsi64_si128(static_cast<long long>(kShuffles[bits]));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + n), _mm_shuffle_epi8(bytes, order));
        n += static_cast<std::size_t>(__builtin_popcount(bits));
    }
    return n;
}

// Records of one byte: sixteen input bytes become three stores of sixteen, each a shuffle that
// puts the data bytes in every third place, with CR LF filled in around them. Longer records
// are left to the portable copy.
Byte* short_records(const Byte* in, std::size_t length, std::size_t count, Byte* out) {
    if (length != 1) return portable_short_records(in, length, count, out);
    alignas(16) static constexpr std::array<std::array<Byte, 16>, 3> kOrder = [] {
        std::array<std::array<Byte, 16>, 3> order{};
        for (std::size_t j = 0; j < 48; ++j)
            order[j / 16][j % 16] = j % 3 == 2 ? static_cast<Byte>(j / 3) : 0x80;
        return order;
    }();
    alignas(16) static constexpr std::array<std::array<Byte, 16>, 3> kLineEnds = [] {
        std::array<std::array<Byte, 16>, 3> ends{};
        for (std::size_t j = 0; j < 48; ++j)
            ends[j / 16][j % 16] = j % 3 == 0 ? 0x0D : j % 3 == 1 ? 0x0A : 0x00;
        return ends;
    }();
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16, out += 48) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        for (std::size_t k = 0; k < 3; ++k) {
            const __m128i order = _mm_load_si128(reinterpret_cast<const __m128i*>(&kOrder[k]));
            const __m128i ends = _mm_load_si128(reinterpret_cast<const __m128i*>(&kLineEnds[k]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * k),
                             _mm_or_si128(_mm_shuffle_epi8(bytes, order), ends));
        }
    }
    return portable_short_records(in + i, 1, count - i, out);
}

bool has_avx2() {
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt");
}

}  // namespace

const Kernel kAvx2Kernel = {
    .name = "avx2",
    .runs_here = has_avx2,
    .find_special = find_special,
    .copy_plain = copy_plain,
    .find_line_ends = find_line_ends,
    .short_records = short_records,
    .classify = classify,
    .compress = compress,
};

}  // namespace zeilfuge
