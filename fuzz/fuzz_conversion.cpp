// The block engine against the byte-at-a-time reference, on any bytes, any RCDLEN and any
// way of cutting the input and the output into blocks, with each kernel this processor runs.
//   data: mode byte, 4 bytes of RCDLEN, 1 byte of cutting seed, then the input
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "conversion.hpp"
#include "kernels.hpp"
#include "reference_conversion.hpp"

using namespace zeilfuge;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return 0;
    const Mode mode = (data[0] & 1) != 0 ? Mode::delete_line_ends : Mode::insert_line_ends;
    std::int32_t rcdlen;
    std::memcpy(&rcdlen, data + 1, 4);
    // In *DEL every line may be padded by RCDLEN - 1 blanks; keep the output in memory's reach.
    if (mode == Mode::delete_line_ends) rcdlen %= 4099;
    const std::uint32_t seed = data[5] | 1U;
    const std::string_view input(reinterpret_cast<const char*>(data + 6), size - 6);

    const ReferenceResult expected = reference_convert(input, mode, rcdlen);

    for (const Kernel* kernel : built_kernels()) {
        if (!kernel->runs_here()) continue;
        use_kernel_for_testing(*kernel);
        std::uint32_t cut = seed;
        ConversionState state = start_conversion(mode, rcdlen);
        std::string output;
        std::vector<std::byte> out_buffer(kMinimumOutput + cut % ((seed & 2) != 0 ? 20000 : 1200));
        std::size_t at = 0;
        for (;;) {
            cut = cut * 1103515245U + 12345U;
            // Mostly small pieces, which cut everything everywhere; now and then one that holds
            // whole lines, for the paths that need a few hundred bytes at hand, or a whole
            // region of *DEL's line ends (4 KiB) and more, when the input is that long.
            const std::size_t most = (cut >> 12) % 8 == 0 ? 9000 : (cut >> 12) % 4 == 0 ? 700 : 97;
            const std::size_t piece =
                std::min<std::size_t>(1 + (cut >> 16) % most, input.size() - at);
            // Each piece in a buffer of its own size, so that reading past it is caught.
            std::vector<std::byte> block(piece);
            if (piece != 0) std::memcpy(block.data(), input.data() + at, piece);
            at += piece;
            const bool input_ends = piece == 0;
            std::span<const std::byte> rest(block);
            for (;;) {
                const BlockResult step = convert_block(state, rest, out_buffer, input_ends);
                if (step.consumed > rest.size() || step.produced > out_buffer.size()) std::abort();
                output.append(reinterpret_cast<const char*>(out_buffer.data()), step.produced);
                rest = rest.subspan(step.consumed);
                if (step.complete) break;
                if (step.consumed == 0 && step.produced == 0) std::abort();  // no progress
            }
            if (!rest.empty()) std::abort();
            if (input_ends) break;
        }
        if (output != expected.output || state.counter != expected.counter) std::abort();
    }
    return 0;
}
