// The cost of moving zeilfuge's bytes without converting them: reads the input in the
// tool's 512 KiB calls into a page-aligned buffer and, after each read, writes whole pages
// of a page-aligned output buffer in proportion, until OUTPUT_BYTES are written.
//   floor IN OUT OUTPUT_BYTES
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t kInputBlock = std::size_t{512} * 1024;
constexpr std::size_t kPage = 4096;
// As large as the tool's output buffer, so that the same amount of memory is touched.
constexpr std::size_t kOutputBlock = 3 * kInputBlock + kPage + 64;

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
        const std::size_t piece = count < kOutputBlock ? count : kOutputBlock / kPage * kPage;
        if (!write_all(fd, buffer, piece)) return false;
        count -= piece;
    }
    return true;
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
    auto* input = static_cast<unsigned char*>(std::aligned_alloc(kPage, kInputBlock));
    auto* output = static_cast<unsigned char*>(
        std::aligned_alloc(kPage, (kOutputBlock + kPage - 1) / kPage * kPage));
    if (input == nullptr || output == nullptr) return 1;
    // Filled once, so that the writes copy from memory already mapped, as the tool's do
    // after its first block.
    std::memset(output, 'x', kOutputBlock);
    std::uint64_t read_so_far = 0;
    std::uint64_t written = 0;
    for (;;) {
        const ssize_t n = read(in, input, kInputBlock);
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
    std::free(input);
    std::free(output);
    return close(out) == 0 && close(in) == 0 ? 0 : 1;
}
