// The x86-64 baseline: 16 bytes at a time with SSE2.
#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "kernels.hpp"

namespace zeilfuge {
namespace {

#include "kernel_generic.hpp"
#include "kernel_sse2_scans.hpp"

}  // namespace

// SSE2 has no byte shuffle: the records and the packing of bytes are the scalar ones.
const Kernel kSse2Kernel =
    scanning_kernel<plain_run<false>, plain_run<true>, classify>("sse2", always);

}  // namespace zeilfuge
