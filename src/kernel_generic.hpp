// The generic body of the kernels: what every kernel does the same way, around the scans its
// own instruction set makes fast. A kernel file includes it inside its own unnamed namespace,
// after the headers it needs (<cstring> and kernels.hpp), so that every kernel builds its own
// copy with its own instructions, one that no other object can share.
//
// A function from a header included outside such a namespace, a library template among them,
// is emitted wherever the compiler doesn't inline it, as in a Debug build, as a weak symbol;
// the linker keeps one of the copies for every caller, and it may be the one built for
// AVX-512. So this file includes nothing, and it and the kernels call no library templates,
// only compiler built-ins and the C library's memcpy and memset. tests/kernel_symbols_test.sh
// checks the objects. kernel_scalar.cpp and conversion.cpp include it the same way, for the
// helpers they share with the kernels.
#pragma once

using Byte = unsigned char;

inline constexpr Byte kCtrlZ = 0x1A;

constexpr bool is_special(Byte b) {
    return b == 0x00 || b == 0x0A || b == 0x0D || b == kCtrlZ;
}

// A 1 in every byte of a word, and the top bit of every byte.
inline constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr std::uint64_t kHighs = kOnes * 0x80;

// In each byte, the set bits of x in it and in the bytes below it.
inline std::uint64_t byte_sums(std::uint64_t x) {
    x -= x >> 1 & 0x5555555555555555ULL;
    x = (x & 0x3333333333333333ULL) + (x >> 2 & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return x * kOnes;
}

// The set bits of x, for the code built for every processor, where the built-in is a call.
inline int count_bits(std::uint64_t x) {
    return static_cast<int>(byte_sums(x) >> 56);
}

constexpr bool always() {
    return true;
}

// 16 bytes by one unaligned load and store each, in two words: GCC 12 at -O3 turned a single
// 16-byte memcpy in a loop into aligned loads, which fault on input at an odd address.
inline void copy_16(Byte* out, const Byte* in) {
    std::uint64_t low;
    std::uint64_t high;
    std::memcpy(&low, in, 8);
    std::memcpy(&high, in + 8, 8);
    std::memcpy(out, &low, 8);
    std::memcpy(out + 8, &high, 8);
}

// find_special from the kernel's plain_run<false>; its plain_run<true> is copy_plain.
template <std::size_t (*kPlainRun)(const Byte*, const Byte*, Byte*)>
std::size_t find_special_by(const Byte* in, const Byte* end) {
    return kPlainRun(in, end, nullptr);
}

// plain_records for the kernels that test the bytes in a scan of their own before they place
// them: find_special over a piece of records, then short_records for those before a special
// byte.
template <std::size_t (*kFindSpecial)(const Byte*, const Byte*),
          Byte* (*kShortRecords)(const Byte*, std::size_t, std::size_t, Byte*)>
std::size_t scanned_records(const Byte* in, std::size_t length, std::size_t count, Byte* out) {
    const std::size_t piece = kScanPiece / length;  // records are at most kShortRecord bytes
    std::size_t placed = 0;
    while (placed < count) {
        const std::size_t take = count - placed < piece ? count - placed : piece;
        const Byte* const from = in + placed * length;
        const std::size_t plain = kFindSpecial(from, from + take * length) / length;
        out = kShortRecords(from, length, plain, out);
        placed += plain;
        if (plain != take) break;
    }
    return placed;
}

// find_line_ends from the kernel's classify. Writes the offset of each line end's LF, doubled,
// plus 1 for a CR LF, to ends, and returns how many. Sets scanned to the offset of the first
// byte that no line here may hold (a NUL, Ctrl-Z, a CR not followed by LF), or to the end of
// the groups, short of a CR there that starts a line end.
template <SpecialMasks (*kClassify)(const Byte*)>
std::size_t find_line_ends_by(const Byte* in, std::size_t groups, std::uint16_t* ends,
                              std::size_t& scanned) {
    std::size_t count = 0;
    std::uint64_t cr_before = 0;  // the CR at the end of the group before, as bit 0
    for (std::size_t g = 0; g < groups; ++g) {
        const Byte* const group = in + g * kGroup;
        const SpecialMasks masks = kClassify(group);
        const std::uint64_t next_is_lf = group[kGroup] == 0x0A ? 1 : 0;
        const std::uint64_t after_cr = masks.cr << 1 | cr_before;
        const std::uint64_t lone_cr = masks.cr & ~(masks.lf >> 1 | next_is_lf << 63);
        const std::uint64_t stop = masks.nul | masks.ctrl_z | lone_cr;
        // The bits below the first stop; all of them when there is none.
        const std::uint64_t lf = masks.lf & (stop - 1) & ~stop;
        const auto base = static_cast<unsigned>(g * kGroup);
        auto at = [&](std::uint64_t bits) {
            // With the top bit set the count needs no test for zero, which compilers make a
            // branch; for no bits at all it gives a place that isn't counted anyway.
            const auto bit = static_cast<unsigned>(__builtin_ctzll(bits | std::uint64_t{1} << 63));
            return static_cast<std::uint16_t>((base + bit) << 1 | (after_cr >> bit & 1));
        };
        // The first four without a condition: one that isn't there is written beyond count,
        // where the next line end overwrites it.
        const std::uint64_t lf2 = lf & (lf - 1);
        const std::uint64_t lf3 = lf2 & (lf2 - 1);
        const std::uint64_t lf4 = lf3 & (lf3 - 1);
        ends[count] = at(lf);
        ends[count + 1] = at(lf2);
        ends[count + 2] = at(lf3);
        ends[count + 3] = at(lf4);
        const auto found = static_cast<std::size_t>(__builtin_popcountll(lf));
        if (found > kEndsPerGroup) [[unlikely]] {
            std::size_t k = count + kEndsPerGroup;
            for (std::uint64_t more = lf4 & (lf4 - 1); more != 0; more &= more - 1)
                ends[k++] = at(more);
        }
        count += found;
        if (stop != 0) {
            scanned = base + static_cast<unsigned>(__builtin_ctzll(stop));
            return count;
        }
        cr_before = masks.cr >> 63;
    }
    scanned = groups * kGroup - static_cast<std::size_t>(cr_before);
    return count;
}

// The blanks after a line that takes the record to `filled` bytes. Without a division in
// the common case: a division per line is slow, and its result feeds the output position
// that every following store waits for.
[[gnu::always_inline]] inline std::int64_t blanks_after_line(std::int64_t filled,
                                                             std::int64_t length) {
    // Masks rather than conditions: whether a line passes the end of its first record is as
    // random as its length, and a branch on it would mispredict as often.
    filled -= length & -static_cast<std::int64_t>(filled >= length);
    // Lines longer than two records, and RCDLEN 0, are rare enough to pay for the division.
    if (filled >= length) [[unlikely]]
        filled = length == 0 ? 0 : filled % length;
    return (length - filled) & -static_cast<std::int64_t>(filled != 0);
}

// The loop of put_lines_with. With kChecked false the caller has made sure that every line
// has room for its stores, and no line tests it again.
template <bool kChecked, typename StoreWide>
std::size_t put_lines_in(StoreWide store_wide, RegionLines& lines, const std::uint16_t* ends,
                         std::size_t count) {
    // In locals, not reloaded through the reference after every store.
    const Byte* const in = lines.in;
    const Byte* const in_end = lines.in_end;
    Byte* out = lines.out;
    const Byte* const out_end = lines.out_end;
    std::int64_t filled = lines.filled;
    std::size_t start = lines.start;
    const std::int64_t length = lines.length;
    // A pad is less than a record: for short records fewer blanks need storing.
    const std::size_t pad_run = length <= 64 ? 64 : kPadRun;
    std::size_t i = 0;
    for (; i < count; ++i) {
        const std::size_t at = ends[i] >> 1;
        const std::size_t n = at - start - (ends[i] & 1);
        const auto blanks = static_cast<std::size_t>(
            blanks_after_line(filled + static_cast<std::int64_t>(n), length));
        const Byte* const line = in + start;
        const bool room_for_stores =
            !kChecked || (in_end - line >= static_cast<std::ptrdiff_t>(kLineCopy) &&
                          out_end - out >= static_cast<std::ptrdiff_t>(kLineCopy + kPadRun));
        if (room_for_stores && store_wide(out, line, n, n + blanks)) {
            // The kernel's own stores took it.
        } else if (n + blanks <= kSmallLine && room_for_stores) {
            // Empty lines and short ones come thick in some files: fewer stores for them.
            std::memcpy(out, line, kSmallLine);
            std::memset(out + n, ' ', kSmallLine);
        } else if (n <= kLineCopy && blanks <= kPadRun && room_for_stores) {
            std::memcpy(out, line, kLineCopy);
            if (pad_run == 64) {
                std::memset(out + n, ' ', 64);
            } else {
                std::memset(out + n, ' ', kPadRun);
            }
        } else if (!kChecked || static_cast<std::size_t>(out_end - out) >= n + blanks) {
            // The room compared unsigned: on 32 bits a pad of 2^31 blanks is a negative ptrdiff_t.
            std::memcpy(out, line, n);
            std::memset(out + n, ' ', blanks);
        } else {
            break;  // the output is full
        }
        out += n + blanks;
        filled = 0;
        start = at + 1;
    }
    lines.out = out;
    lines.filled = filled;
    lines.start = start;
    return i;
}

// Copies each line whose end is in ends[0, count), from lines.start on, and pads it with
// blanks to the end of its record. Stops before a line whose copy and pad don't fit the
// output, and returns how many it took. A kernel with wide stores passes a store_wide that
// writes a line of n bytes and its pad up to `total` in one go, with kLineCopy bytes readable
// from the line and kLineCopy + kPadRun writable; it returns false for a line it leaves to
// the plain stores.
template <typename StoreWide>
std::size_t put_lines_with(StoreWide store_wide, RegionLines& lines, const std::uint16_t* ends,
                           std::size_t count) {
    if (count == 0) return 0;
    // The lines end by the last line end, and each pad is shorter than a record. When the
    // input and output have room for all of that and the fixed stores beyond, as they nearly
    // always do, the lines need no test each.
    const auto through_last = static_cast<std::int64_t>(ends[count - 1] >> 1) + 1;
    const bool room_for_all =
        lines.in_end - lines.in >= through_last + static_cast<std::int64_t>(kLineCopy) &&
        lines.out_end - lines.out >= through_last +
                                         static_cast<std::int64_t>(count) * lines.length +
                                         static_cast<std::int64_t>(kLineCopy + kPadRun);
    return room_for_all ? put_lines_in<false>(store_wide, lines, ends, count)
                        : put_lines_in<true>(store_wide, lines, ends, count);
}

// The table of a kernel whose instruction set makes only the scans faster: its plain_run and
// classify, and the scalar helpers for the rest.
template <std::size_t (*kPlainRun)(const Byte*, const Byte*, Byte*),
          std::size_t (*kCopyRun)(const Byte*, const Byte*, Byte*),
          SpecialMasks (*kClassify)(const Byte*)>
constexpr Kernel scanning_kernel(const char* name, bool (*runs_here)()) noexcept {
    return {
        .name = name,
        .runs_here = runs_here,
        .find_special = find_special_by<kPlainRun>,
        .copy_plain = kCopyRun,
        .find_line_ends = find_line_ends_by<kClassify>,
        .put_lines = scalar_put_lines,
        .short_records = scalar_short_records,
        .plain_records = scanned_records<find_special_by<kPlainRun>, scalar_short_records>,
        .classify = kClassify,
        .compress = scalar_compress,
        .deposit = scalar_deposit,
        .insert_group = scalar_insert_group,
    };
}
