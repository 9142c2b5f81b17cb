// The byte shuffles of 16 bytes (SSSE3's pshufb) that the kernels with them share: packing
// kept bytes, records of one byte, and what *INS makes of a dense group. A kernel file
// includes it inside its own unnamed namespace, after kernel_generic.hpp, as that file says.
#pragma once

// For each set of kept bytes among eight, the shuffle that moves them to the front.
struct Shuffles {
    std::uint64_t of[256];
    Byte count[256];
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
        table.count[keep] = static_cast<Byte>(n);
    }
    return table;
}

inline constexpr Shuffles kShuffles = make_shuffles();

inline std::size_t compress(const Byte* in, std::uint64_t keep, Byte* out) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < kGroup; i += 8) {
        const auto bits = static_cast<unsigned>(keep >> i & 0xFF);
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + i));
        const __m128i order = _mm_cvtsi64_si128(static_cast<long long>(kShuffles.of[bits]));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + n), _mm_shuffle_epi8(bytes, order));
        n += kShuffles.count[bits];
    }
    return n;
}

// Records of one byte: sixteen input bytes become three stores of sixteen, each a shuffle that
// puts the data bytes in every third place, with CR LF filled in around them.
struct SingleByteShuffles {
    alignas(16) Byte order[3][16];
    alignas(16) Byte line_ends[3][16];
};

inline Byte* single_byte_records(const Byte* in, std::size_t count, Byte* out) {
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

// Four input bytes at a time become up to 16 output bytes by one shuffle, chosen by the state
// of each of the four: 0 when it is not kept, else 1, plus 2 for a break (CR LF before it) and
// 1 for a line end (a CR before it). The four states are the digits of a number in base 5, the
// first lowest. The shuffle's source holds the four bytes, then a CR and an LF.
inline constexpr std::size_t kStates = std::size_t{5} * 5 * 5 * 5;
inline constexpr Byte kSourceCr = 4;
inline constexpr Byte kSourceLf = 5;

struct Expansions {
    alignas(16) Byte order[kStates][16];
    Byte size[kStates];
};

inline constexpr Expansions kExpansions = [] {
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
inline __m128i bytes_of(std::uint32_t mask) {
    const __m128i spread =
        _mm_shuffle_epi8(_mm_set1_epi16(static_cast<short>(mask)),
                         _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1));
    const __m128i bit = _mm_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
    return _mm_cmpeq_epi8(_mm_and_si128(spread, bit), bit);
}

// Each four input bytes by one shuffle: the states of 16 bytes at a time in a register, their
// numbers by two multiply-adds, then a shuffle from the table and one store for each four.
inline std::size_t insert_group(const Byte* in, std::uint64_t kept, std::uint64_t breaks,
                                std::uint64_t line_ends, Byte* out) {
    alignas(16) std::uint32_t numbers[kGroup / 4];
    for (std::size_t quarter = 0; quarter < 4; ++quarter) {
        const auto bits = [&](std::uint64_t mask) {
            return bytes_of(static_cast<std::uint32_t>(mask >> (16 * quarter) & 0xFFFF));
        };
        const __m128i one = _mm_set1_epi8(1);
        const __m128i two = _mm_set1_epi8(2);
        const __m128i before =
            _mm_or_si128(_mm_and_si128(bits(breaks), two), _mm_and_si128(bits(line_ends), one));
        const __m128i state = _mm_and_si128(bits(kept), _mm_add_epi8(one, before));
        const __m128i pairs = _mm_maddubs_epi16(state, _mm_set1_epi16(5 << 8 | 1));
        const __m128i fours = _mm_madd_epi16(pairs, _mm_set1_epi32(25 << 16 | 1));
        _mm_store_si128(reinterpret_cast<__m128i*>(numbers + 4 * quarter), fours);
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
