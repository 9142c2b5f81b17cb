// The scans that the conversion spends its time in, once per instruction set. Each kernel
// only finds and moves bytes fast; the byte rules stay in conversion.cpp, which hands
// anything unusual to its own per-byte code. One kernel is chosen per run, the widest this
// processor has.
#pragma once

#include <cstddef>
#include <cstdint>
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
    // Writes count records of length bytes each (1 to kShortRecord), every one behind its
    // break: CR LF and the record. Returns out + count * (length + 2). May read up to
    // kRecordSlack bytes beyond the last record, and write as many beyond the end it returns.
    unsigned char* (*short_records)(const unsigned char* in, std::size_t length, std::size_t count,
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

// The portable compress, for the kernels without a byte shuffle.
std::size_t portable_compress(const unsigned char* in, std::uint64_t keep, unsigned char* out);

// Records up to this length are short: short_records writes them, with its slack.
inline constexpr std::size_t kShortRecord = 256;
inline constexpr std::size_t kRecordSlack = kGroup;

// The portable short_records, for the kernels' tails and those without a byte shuffle.
unsigned char* portable_short_records(const unsigned char* in, std::size_t length,
                                      std::size_t count, unsigned char* out);

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

}  // namespace zeilfuge
