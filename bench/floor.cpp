// The cost of moving zeilfuge's bytes without converting them, done the cheapest way found on
// Linux: reads and writes of 2 MiB, both buffers in one region aligned to 2 MiB and advised
// for transparent huge pages, and after each read the whole pages of output that the input so
// far would have produced, until OUTPUT_BYTES are written.
//   floor IN OUT OUTPUT_BYTES
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kBlock = std::size_t{2} << 20;
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kPage = 4096;

bool write_all(int fd, const unsigned char* data, std::size_t n) {
    while (n != 0) {
        const ssize_t w = write(fd, data, n);
        if (w < 0) return false;
        data += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

// Writes count bytes from the output buffer, in pieces no larger than it.
bool write_bytes(int fd, const unsigned char* buffer, std::uint64_t count) {
    while (count != 0) {
        const std::size_t piece = count < kBlock ? count : kBlock;
        if (!write_all(fd, buffer, piece)) return false;
        count -= piece;
    }
    return true;
}

// A region of size bytes on a 2 MiB boundary, advised for huge pages.
unsigned char* huge_region(std::size_t size) {
    void* const mapped =
        mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    const auto address = reinterpret_cast<std::uintptr_t>(mapped);
    auto* const region =
        static_cast<unsigned char*>(mapped) + (kHugePage - address % kHugePage) % kHugePage;
    madvise(region, size, MADV_HUGEPAGE);
    return region;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: floor IN OUT OUTPUT_BYTES\n");
        return 2;
    }
    const int in = open(argv[1], O_RDONLY);
    const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
    struct stat st;
    if (in < 0 || out < 0 || fstat(in, &st) != 0) return 1;
    const std::uint64_t total_in = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t total_out = std::strtoull(argv[3], nullptr, 10);
    unsigned char* const region = huge_region(2 * kBlock);
    if (region == nullptr) return 1;
    unsigned char* const input = region;
    unsigned char* const output = region + kBlock;
    // Touched once, as the tool touches its buffers, so that the writes copy from memory that
    // is mapped.
    std::memset(region, 'x', 2 * kBlock);
    std::uint64_t read_so_far = 0;
    std::uint64_t written = 0;
    for (;;) {
        const ssize_t n = read(in, input, kBlock);
        if (n < 0) return 1;
        read_so_far += static_cast<std::uint64_t>(n);
        if (n == 0) break;
        // The output that the input so far would have produced, in whole pages.
        const std::uint64_t due =
            total_in == 0 ? 0
                          : static_cast<std::uint64_t>(static_cast<long double>(total_out) *
                                                       read_so_far / total_in) /
                                kPage * kPage;
        if (due > written) {
            if (!write_bytes(out, output, due - written)) return 1;
            written = due;
        }
    }
    if (total_out > written && !write_bytes(out, output, total_out - written)) return 1;
    return close(out) == 0 && close(in) == 0 ? 0 : 1;
}
