// The scans of 16 bytes at a time with SSE2, for the SSE2 kernel and those that add to it. A
// kernel file includes it inside its own unnamed namespace, after kernel_generic.hpp, as that
// file says.
#pragma once

inline __m128i load(const Byte* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

inline void store(Byte* at, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(at), v);
}

// All four special bytes are at most 0x1A: one minimum and one compare find the few
// candidates, and only a piece that holds one is looked at exactly.
inline unsigned candidates(__m128i v) {
    const __m128i top = _mm_set1_epi8(static_cast<char>(kCtrlZ));
    return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(v, top), v)));
}

inline unsigned equal(__m128i v, Byte b) {
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(b)))));
}

inline unsigned specials(__m128i v) {
    return equal(v, 0x00) | equal(v, 0x0A) | equal(v, 0x0D) | equal(v, kCtrlZ);
}

template <bool kCopy>
std::size_t plain_run(const Byte* in, const Byte* end, Byte* out) {
    const Byte* p = in;
    constexpr std::ptrdiff_t kStep = 64;
    while (end - p >= kStep) {
        const __m128i a = load(p);
        const __m128i b = load(p + 16);
        const __m128i c = load(p + 32);
        const __m128i d = load(p + 48);
        if constexpr (kCopy) {
            // Bytes beyond a special byte are stored too; what follows overwrites them.
            Byte* const o = out + (p - in);
            store(o, a);
            store(o + 16, b);
            store(o + 32, c);
            store(o + 48, d);
        }
        // One test for the four: their least byte in each lane is a candidate when any is.
        const __m128i least = _mm_min_epu8(_mm_min_epu8(a, b), _mm_min_epu8(c, d));
        if (candidates(least) != 0) {
            std::uint64_t mask = candidates(a) | candidates(b) << 16 |
                                 std::uint64_t{candidates(c)} << 32 |
                                 std::uint64_t{candidates(d)} << 48;
            for (; mask != 0; mask &= mask - 1) {
                const auto at = static_cast<std::size_t>(__builtin_ctzll(mask));
                if (is_special(p[at])) return static_cast<std::size_t>(p - in) + at;
            }
        }
        p += kStep;
    }
    while (end - p >= 16) {
        const __m128i v = load(p);
        if constexpr (kCopy) store(out + (p - in), v);
        const unsigned mask = specials(v);
        if (mask != 0)
            return static_cast<std::size_t>(p - in) + static_cast<unsigned>(__builtin_ctz(mask));
        p += 16;
    }
    for (; p != end && !is_special(*p); ++p) {
        if constexpr (kCopy) out[p - in] = *p;
    }
    return static_cast<std::size_t>(p - in);
}

// Always inlined into the search for line ends: GCC made it a call per group there, with the
// masks passed back through memory.
[[gnu::always_inline]] inline SpecialMasks classify(const Byte* in) {
    SpecialMasks m{};
    for (std::size_t i = 0; i < 4; ++i) {
        const __m128i v = load(in + 16 * i);
        m.nul |= std::uint64_t{equal(v, 0x00)} << (16 * i);
        m.lf |= std::uint64_t{equal(v, 0x0A)} << (16 * i);
        m.cr |= std::uint64_t{equal(v, 0x0D)} << (16 * i);
        m.ctrl_z |= std::uint64_t{equal(v, kCtrlZ)} << (16 * i);
    }
    return m;
}
