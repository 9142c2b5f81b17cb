// SSE2's scans with SSSE3's byte shuffle of 16 bytes: packing, records of one byte and the dense
// groups of *INS by shuffles. Built with -mssse3 and used only where the processor has it; the
// Windows build runs it too, as it needs no stack aligned beyond 16 bytes.
#include <tmmintrin.h>

#include <cstdint>
#include <cstring>

#include "kernels.hpp"

namespace zeilfuge {
namespace {

#include "kernel_generic.hpp"
// After it, as they use what that defines.
#include "kernel_byte_shuffle.hpp"
#include "kernel_sse2_scans.hpp"

Byte* short_records(const Byte* in, std::size_t length, std::size_t count, Byte* out) {
    if (length == 1) return single_byte_records(in, count, out);
    return scalar_short_records(in, length, count, out);
}

bool has_ssse3() {
    return __builtin_cpu_supports("ssse3");
}

}  // namespace

const Kernel kSsse3Kernel = {
    .name = "ssse3",
    .runs_here = has_ssse3,
    .find_special = find_special_by<plain_run<false>>,
    .copy_plain = plain_run<true>,
    .find_line_ends = find_line_ends_by<classify>,
    .put_lines = scalar_put_lines,
    .short_records = short_records,
    .plain_records = scanned_records<find_special_by<plain_run<false>>, short_records>,
    .classify = classify,
    .compress = compress,
    .deposit = scalar_deposit,
    .insert_group = insert_group,
};

}  // namespace zeilfuge
