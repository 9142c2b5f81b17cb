// Which kernels this build has, and the one a run uses. CMake builds a kernel file for each
// instruction set the target processor family has and names them here.
#include <atomic>

#include "kernels.hpp"

namespace zeilfuge {
namespace {

const Kernel* const kBuilt[] = {
    &kPortableKernel,
#ifdef ZEILFUGE_KERNEL_SSE2
    &kSse2Kernel,
#endif
#ifdef ZEILFUGE_KERNEL_SSSE3
    &kSsse3Kernel,
#endif
#ifdef ZEILFUGE_KERNEL_AVX2
    &kAvx2Kernel,
#endif
#ifdef ZEILFUGE_KERNEL_AVX512
    &kAvx512Kernel,
#endif
};

const Kernel* widest_that_runs() {
    const Kernel* chosen = &kPortableKernel;
    for (const Kernel* kernel : kBuilt) {
        if (kernel->runs_here()) chosen = kernel;
    }
    return chosen;
}

// Relaxed: the choice is the same whichever thread makes it first.
std::atomic<const Kernel*> chosen_kernel{nullptr};

}  // namespace

std::span<const Kernel* const> built_kernels() {
    return kBuilt;
}

const Kernel& active_kernel() {
    const Kernel* kernel = chosen_kernel.load(std::memory_order_relaxed);
    if (kernel == nullptr) {
        kernel = widest_that_runs();
        chosen_kernel.store(kernel, std::memory_order_relaxed);
    }
    return *kernel;
}

void use_kernel_for_testing(const Kernel& kernel) {
    chosen_kernel.store(&kernel, std::memory_order_relaxed);
}

}  // namespace zeilfuge
