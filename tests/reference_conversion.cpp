#include "reference_conversion.hpp"

namespace zeilfuge {

namespace {

// rcdlen divides x; RCDLEN 0 divides nothing, so it writes no breaks and no padding.
bool divides(std::int64_t rcdlen, std::int64_t x) {
    return rcdlen != 0 && x % rcdlen == 0;
}

}  // namespace

ReferenceResult reference_convert(std::string_view input, Mode mode, std::int32_t rcdlen) {
    const std::int64_t length = rcdlen;
    ReferenceResult result;
    std::int64_t& counter = result.counter;
    auto write = [&](char b) {
        if (b == '\n') result.output += '\r';
        result.output += b;
    };
    for (std::size_t i = 0; i < input.size(); ++i) {
        // Decoding: CR LF and a lone LF are a line end; Ctrl-Z ends the input.
        char b = input[i];
        if (b == '\x1a') break;
        if (b == '\r' && i + 1 < input.size() && input[i + 1] == '\n') {
            b = input[++i];
        }
        if (b == '\0') continue;
        const bool line_end = b == '\n';
        if (!line_end) ++counter;
        if (mode == Mode::insert_line_ends) {
            const std::int64_t k = counter - 1;
            if (k != 0 && divides(length, k)) write('\n');
            write(b);
        } else {
            if (!line_end) write(b);
            if (line_end && length != 0) {
                while (!divides(length, counter)) {
                    write(' ');
                    ++counter;
                }
            }
        }
    }
    return result;
}

}  // namespace zeilfuge
