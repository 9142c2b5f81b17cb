// The scans that the conversion spends its time in, once per instruction set. Each kernel
// only finds and moves bytes fast; the byte rules stay in conversion.cpp, which hands
// anything unusual to its own per-byte code. One kernel is chosen per run, the widest this
// processor has. Declarations and constants only: the code the kernels share is in
// kernel_generic.hpp, which says why it can't be here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zeilfuge {

// One bit per byte of a 64-byte group, bit i for byte i.
// A plain aggregate without member initializers: its constructor is then trivial, and no
// kernel emits one of its own that the linker could give to other code.
struct SpecialMasks {
    std::uint64_t nul;
    std::uint64_t lf;
    std::uint64_t cr;
    std::uint64_t ctrl_z;
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
    // in, of which the byte after the last is readable too; see find_line_ends_by in
    // kernel_generic.hpp.
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
    // Places the low bits of `bits`, in order, at the set bits of mask: bit j of bits goes to
    // the place of the mask's j-th set bit, counted from 0; bits beyond its count are dropped.
    std::uint64_t (*deposit)(std::uint64_t bits, std::uint64_t mask);
    // Writes what *INS makes of the group at in: for each byte whose bit is set in kept, in
    // order, CR LF when its bit is set in breaks too, then a CR when it is set in line_ends
    // (an LF's, which so becomes CR LF), then the byte. Bits of breaks and line_ends are set
    // only where kept's are. Returns how many bytes; may write up to kGroup bytes beyond them.
    std::size_t (*insert_group)(const unsigned char* in, std::uint64_t kept, std::uint64_t breaks,
                                std::uint64_t line_ends, unsigned char* out);
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
extern const Kernel kSsse3Kernel;
extern const Kernel kAvx2Kernel;
extern const Kernel kAvx512Kernel;

// Records up to this length are short: short_records writes them, with its slack.
inline constexpr std::size_t kShortRecord = 256;
inline constexpr std::size_t kRecordSlack = kGroup;

// Input is scanned for special bytes in pieces of this size before it is copied, so that the
// copy reads what the scan has just brought into the first-level cache.
inline constexpr std::size_t kScanPiece = 8192;

// The most groups find_line_ends takes at once, and the room its ends need: a kernel writes a
// group's offsets in pieces of a fixed size, which may reach up to a group's worth beyond the
// last. find_line_ends_by writes one for each of the first kEndsPerGroup LFs of a group
// whether it has them or not, so that text costs no branch on their number.
inline constexpr std::size_t kLineGroups = 64;
inline constexpr std::size_t kEndsPerGroup = 4;
inline constexpr std::size_t kLineEndsRoom = kLineGroups * kGroup + kGroup;

// Lines up to kLineCopy bytes are copied by one copy of that size, and pads up to kPadRun
// blanks by one store of that size: the same stores for every line cost less than a call or a
// loop whose end is hard to predict. What follows overwrites the bytes beyond. A line that
// takes no more than kSmallLine bytes with its pad gets smaller stores of that size.
inline constexpr std::size_t kLineCopy = 192;
inline constexpr std::size_t kPadRun = 128;
inline constexpr std::size_t kSmallLine = 16;

// The scalar helpers every kernel may call, in kernel_scalar.cpp, built for every processor.
// put_lines with the plain stores, for the kernels without wide stores of their own for lines.
std::size_t scalar_put_lines(RegionLines& lines, const std::uint16_t* ends, std::size_t count);
// compress one byte at a time, for the kernels without a byte shuffle.
std::size_t scalar_compress(const unsigned char* in, std::uint64_t keep, unsigned char* out);
// insert_group in words, for the kernels without a byte shuffle.
std::size_t scalar_insert_group(const unsigned char* in, std::uint64_t kept, std::uint64_t breaks,
                                std::uint64_t line_ends, unsigned char* out);
// deposit by a select per bit, for the kernels without BMI2.
std::uint64_t scalar_deposit(std::uint64_t bits, std::uint64_t mask);
// short_records in words, for the kernels' tails and those without a byte shuffle.
unsigned char* scalar_short_records(const unsigned char* in, std::size_t length, std::size_t count,
                                    unsigned char* out);
// The output of records of one length, each behind its break, repeats every length + 2 bytes:
// CR, LF, then the record. For the kernels that work out their shuffles of it once per length:
// the input bytes the output before offset `at` holds, and the steps of `width` output bytes
// after which the shuffles repeat.
std::size_t record_input_before(std::size_t length, std::size_t at);
std::size_t record_steps(std::size_t length, std::size_t width);

}  // namespace zeilfuge
