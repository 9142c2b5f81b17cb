// The scans that the conversion spends its time in, once per instruction set. Each kernel
// only finds and moves bytes fast; the byte rules stay in conversion.cpp, which hands
// anything unusual to its own per-byte code. One kernel is chosen per run, the widest this
// processor has.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace zeilfuge {

// One bit per byte of a 64-byte group, bit i for byte i.
struct SpecialMasks {
    std::uint64_t nul = 0;
    std::uint64_t lf = 0;
    std::uint64_t cr = 0;
    std::uint64_t ctrl_z = 0;
};

inline constexpr std::size_t kGroup = 64;

// The lines of a region of *DEL as put_lines takes them, and where it got to.
struct RegionLines {
    const unsigned char* in;      // the region
    const unsigned char* in_end;  // the end of the readable input
    unsigned char* out;
    const unsigned char* out_end;
    std::int64_t length;  // the record length; 0 pads nothing
    std::int64_t filled;  // the bytes of the first line's record that come before it
    std::size_t start;    // of the next line, in the region
};

struct Kernel {
    const char* name;
    bool (*runs_here)();  // whether this processor has the instructions
    // The offset of the first NUL, LF, CR or Ctrl-Z in [in, end), or end - in when none.
    std::size_t (*find_special)(const unsigned char* in, const unsigned char* end);
    // The same, copying the bytes before it to out on the way. Writes only within
    // [out, out + (end - in)), bytes beyond the special byte included.
    std::size_t (*copy_plain)(const unsigned char* in, const unsigned char* end,
                              unsigned char* out);
    // Finds the line ends (LF, or CR LF) of *DEL among `groups` groups of kGroup bytes from
    // in, of which the byte after the last is readable too; see find_line_ends_with.
    std::size_t (*find_line_ends)(const unsigned char* in, std::size_t groups, std::uint16_t* ends,
                                  std::size_t& scanned);
    // Copies and pads, in *DEL, the lines of a region whose ends find_line_ends gave, as long
    // as the output has room; returns how many. See put_lines_with.
    std::size_t (*put_lines)(RegionLines& lines, const std::uint16_t* ends, std::size_t count);
    // Writes count records of length bytes each (1 to kShortRecord), every one behind its
    // break: CR LF and the record. Returns out + count * (length + 2). May read up to
    // kRecordSlack bytes beyond the last record, and write as many beyond the end it returns.
    unsigned char* (*short_records)(const unsigned char* in, std::size_t length, std::size_t count,
                                    unsigned char* out);
    // The same for the records before the first one that holds a NUL, LF, CR or Ctrl-Z, whose
    // bytes it tests as it places them; returns how many it placed. Reads and writes as
    // short_records does for all count records.
    std::size_t (*plain_records)(const unsigned char* in, std::size_t length, std::size_t count,
                                 unsigned char* out);
    // Classifies the kGroup bytes at in.
    SpecialMasks (*classify)(const unsigned char* in);
    // Stores the bytes of the group at in whose bit is set in keep, in order, at out;
    // returns how many. May write up to kGroup bytes at out.
    std::size_t (*compress)(const unsigned char* in, std::uint64_t keep, unsigned char* out);
};

// The kernels of this build, portable first; those the processor can't run are included.
std::span<const Kernel* const> built_kernels();

// The kernel conversions use: the last of built_kernels() that runs here, chosen once.
const Kernel& active_kernel();

// For the tests and the fuzzer only: makes the conversion use this kernel from now on.
void use_kernel_for_testing(const Kernel& kernel);

// Each instruction set's file defines its kernel; kernel_select.cpp lists those built.
extern const Kernel kPortableKernel;
extern const Kernel kSse2Kernel;
extern const Kernel kAvx2Kernel;
extern const Kernel kAvx512Kernel;

// The portable put_lines, for the kernels without stores of their own for lines.
std::size_t portable_put_lines(RegionLines& lines, const std::uint16_t* ends, std::size_t count);

// The portable compress, for the kernels without a byte shuffle.
std::size_t portable_compress(const unsigned char* in, std::uint64_t keep, unsigned char* out);

// Records up to this length are short: short_records writes them, with its slack.
inline constexpr std::size_t kShortRecord = 256;
inline constexpr std::size_t kRecordSlack = kGroup;

// The portable short_records, for the kernels' tails and those without a byte shuffle.
unsigned char* portable_short_records(const unsigned char* in, std::size_t length,
                                      std::size_t count, unsigned char* out);

// Input is scanned for special bytes in pieces of this size before it is copied, so that the
// copy reads what the scan has just brought into the first-level cache.
inline constexpr std::size_t kScanPiece = 8192;

// plain_records for the kernels that test the bytes in a scan of their own before they place
// them: find_special over a piece of records, then short_records for those before a special
// byte. Instantiated in each kernel's file with its own functions.
template <std::size_t (*kFindSpecial)(const unsigned char*, const unsigned char*),
          unsigned char* (*kShortRecords)(const unsigned char*, std::size_t, std::size_t,
                                          unsigned char*)>
std::size_t scanned_records(const unsigned char* in, std::size_t length, std::size_t count,
                            unsigned char* out) {
    const std::size_t piece = kScanPiece / length;  // records are at most kShortRecord bytes
    std::size_t placed = 0;
    while (placed < count) {
        const std::size_t take = count - placed < piece ? count - placed : piece;
        const unsigned char* const from = in + placed * length;
        const std::size_t plain = kFindSpecial(from, from + take * length) / length;
        out = kShortRecords(from, length, plain, out);
        placed += plain;
        if (plain != take) break;
    }
    return placed;
}

// The output of records of one length, each behind its break, repeats every length + 2 bytes:
// CR, LF, then the record. For the kernels that work out their shuffles of it once per length
// (defined in the portable kernel's file, built for every processor): the input bytes the
// output before offset `at` holds, and the steps of `width` output bytes after which the
// shuffles repeat.
std::size_t record_input_before(std::size_t length, std::size_t at);
std::size_t record_steps(std::size_t length, std::size_t width);

// The most groups find_line_ends takes at once, and the room its ends need: a kernel writes a
// group's offsets in pieces of a fixed size, which may reach up to a group's worth beyond the
// last. find_line_ends_with writes one for each of the first kEndsPerGroup LFs of a group
// whether it has them or not, so that text costs no branch on their number.
inline constexpr std::size_t kLineGroups = 64;
inline constexpr std::size_t kEndsPerGroup = 4;
inline constexpr std::size_t kLineEndsRoom = kLineGroups * kGroup + kGroup;

// Writes the offset of each line end's LF, doubled, plus 1 for a CR LF, to ends, and returns
// how many. Sets scanned to the offset of the first byte that no line here may hold (a NUL,
// Ctrl-Z, a CR not followed by LF), or to the end of the groups, short of a CR there that
// starts a line end. Each kernel instantiates it with a lambda of its own that calls its
// classify: the lambda's type keeps the instantiation to that kernel's file, built with that
// file's instructions, where a function type would let the linker share one among all
// kernels. For the same reason it uses compiler built-ins, not library templates.
template <typename Classify>
std::size_t find_line_ends_with(Classify classify, const unsigned char* in, std::size_t groups,
                                std::uint16_t* ends, std::size_t& scanned) {
    std::size_t count = 0;
    std::uint64_t cr_before = 0;  // the CR at the end of the group before, as bit 0
    for (std::size_t g = 0; g < groups; ++g) {
        const unsigned char* const group = in + g * kGroup;
        const SpecialMasks masks = classify(group);
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

// Lines up to kLineCopy bytes are copied by one copy of that size, and pads up to kPadRun
// blanks by one store of that size: the same stores for every line cost less than a call or a
// loop whose end is hard to predict. What follows overwrites the bytes beyond. A line that
// takes no more than kSmallLine bytes with its pad gets smaller stores of that size.
inline constexpr std::size_t kLineCopy = 192;
inline constexpr std::size_t kPadRun = 128;
inline constexpr std::size_t kSmallLine = 16;

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
    const unsigned char* const in = lines.in;
    const unsigned char* const in_end = lines.in_end;
    unsigned char* out = lines.out;
    const unsigned char* const out_end = lines.out_end;
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
        const unsigned char* const line = in + start;
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
// the plain stores. Each kernel instantiates this with a lambda of its own, as above.
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

}  // namespace zeilfuge
