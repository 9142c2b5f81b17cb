// The byte-at-a-time conversion over buffered stdio streams, as a tool to time the block
// engine against:  reference_zeilfuge IN OUT *INS|*DEL RCDLEN
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reference_conversion.hpp"

int main(int argc, char** argv) {
    if (argc < 5) return 99;
    std::FILE* in = std::fopen(argv[1], "rb");
    std::FILE* out = std::fopen(argv[2], "wb");
    if (in == nullptr || out == nullptr) return 97;
    const auto mode = std::strcmp(argv[3], "*DEL") == 0 || std::strcmp(argv[3], "*del") == 0
                          ? zeilfuge::Mode::delete_line_ends
                          : zeilfuge::Mode::insert_line_ends;
    const auto rcdlen = static_cast<std::int32_t>(std::strtol(argv[4], nullptr, 10));
    zeilfuge::reference_loop(
        [in] {
            const int c = std::getc(in);
            return c == EOF ? -1 : c;
        },
        [out](int b) { std::putc(b, out); }, mode, rcdlen);
    return std::fclose(out) == 0 && std::fclose(in) == 0 ? 0 : 97;
}
