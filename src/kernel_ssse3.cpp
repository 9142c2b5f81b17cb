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

// SSE2's kernel, with the shuffles in place of the scalar helpers they beat.
constexpr Kernel with_shuffles() noexcept {
    Kernel kernel =
        scanning_kernel<plain_run<false>, plain_run<true>, classify>("ssse3", has_ssse3);
    kernel.short_records = short_records;
    kernel.plain_records = scanned_records<find_special_by<plain_run<false>>, short_records>;
    kernel.compress = compress;
    kernel.insert_group = insert_group;
    return kernel;
}

}  // namespace

const Kernel kSsse3Kernel = with_shuffles();

}  // namespace zeilfuge
