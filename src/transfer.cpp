#include "transfer.hpp"

#include <cstring>

namespace zeilfuge {
namespace {

// The kernel's copies between the page cache and the buffers decide the speed. On Linux they
// cost least in calls of a MiB or more, and when the buffers lie on transparent huge pages: a
// 4 KiB page costs a fault on its first touch and a TLB entry on every copy. So both buffers
// share one 2 MiB region, aligned to it and advised for huge pages, and lie wholly inside it:
// a buffer that reaches into the next huge page makes every write slower. Every write but the
// last is whole 4 KiB pages, and as large as the output buffer allows. The input comes in
// blocks of 256 KiB, small enough for the conversion to find each still in the processor's
// second-level cache, which saves more than the more frequent reads cost.
constexpr std::size_t kRegion = std::size_t{2} << 20;
constexpr std::size_t kInputBlock = std::size_t{256} << 10;
constexpr std::size_t kPage = 4096;

// Writes the whole pages at the front of the output buffer and moves the rest to its start.
bool write_pages(File output, std::span<std::byte> buffer, std::size_t& used) {
    const std::size_t whole = used / kPage * kPage;
    if (!write_all(output, buffer.first(whole))) return false;
    std::memmove(buffer.data(), buffer.data() + whole, used - whole);
    used -= whole;
    return true;
}

}  // namespace

bool obtain_buffers(TransferBuffers& buffers) {
    std::byte* const region = map_region(kRegion);
    if (region == nullptr) return false;
    buffers.region = region;
    buffers.in = std::span(region, kInputBlock);
    buffers.out = std::span(region + kInputBlock, kRegion - kInputBlock);
    return true;
}

void release_buffers(TransferBuffers& buffers) {
    if (buffers.region != nullptr) unmap_region(buffers.region, kRegion);
    buffers = TransferBuffers{};
}

Outcome convert_file(File input, File output, ConversionState& state,
                     const TransferBuffers& buffers) {
    const std::span<std::byte> in = buffers.in;
    const std::span<std::byte> out = buffers.out;
    std::size_t used = 0;
    for (;;) {
        const std::ptrdiff_t n = read_some(input, in);
        if (n < 0) return Outcome::read_failed;
        const bool at_end = n == 0;
        std::span<const std::byte> rest = in.first(static_cast<std::size_t>(n));
        for (;;) {
            const BlockResult step = convert_block(state, rest, out.subspan(used), at_end);
            rest = rest.subspan(step.consumed);
            used += step.produced;
            if (step.complete) break;
            // The output is full: out it goes, whatever the reads are doing.
            if (!write_pages(output, out, used)) return Outcome::write_failed;
        }
        if (at_end || state.ended) {
            return write_all(output, out.first(used)) ? Outcome::converted : Outcome::write_failed;
        }
        // A short read is a pipe or a terminal that has no more for now: what it gave goes
        // out before the next read waits, so that a reader sees it in time.
        if (static_cast<std::size_t>(n) < in.size() && !write_pages(output, out, used)) {
            return Outcome::write_failed;
        }
    }
}

}  // namespace zeilfuge
