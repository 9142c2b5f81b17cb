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
    // Copies exactly kShortLine (128) bytes; returns the offset of the first byte up to
    // Ctrl-Z among them (a candidate for a special byte), or 128 when there is none.
    std::size_t (*copy_short_line)(const unsigned char* in, unsigned char* out);
    // Writes count records of one byte each, every one behind its break: CR LF b. Writes
    // exactly 3 * count bytes; returns the end of them.
    unsigned char* (*single_byte_records)(const unsigned char* in, std::size_t count,
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

// The 128-byte line copy of copy_short_line.
inline constexpr std::size_t kShortLine = 128;

// The portable compress, for the kernels without a byte shuffle.
std::size_t portable_compress(const unsigned char* in, std::uint64_t keep, unsigned char* out);

// The portable single_byte_records, for the kernels' tails and those without a shuffle.
unsigned char* portable_single_byte_records(const unsigned char* in, std::size_t count,
                                            unsigned char* out);

}  // namespace zeilfuge
