// The conversion written the plain way, one decoded byte at a time over a byte source and
// sink, to check the block engine against (and to time it against).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "conversion.hpp"

namespace zeilfuge {

// next() gives the next input byte (0 to 255) or -1 at the end; put(b) writes one byte.
// Returns the final position counter.
template <class Next, class Put>
std::int64_t reference_loop(Next next, Put put, Mode mode, std::int32_t rcdlen) {
    const std::int64_t length = rcdlen;
    // RCDLEN 0 divides nothing, so it writes no breaks and no padding.
    auto divides = [length](std::int64_t x) { return length != 0 && x % length == 0; };
    auto write = [&put](int b) {
        if (b == '\n') put('\r');
        put(b);
    };
    std::int64_t counter = 0;
    int b = next();
    while (b != -1 && b != 0x1a) {  // Ctrl-Z ends the input
        int following = next();
        if (b == '\r' && following == '\n') {  // CR LF is one line end, like a lone LF
            b = '\n';
            following = next();
        }
        if (b != '\0') {
            const bool line_end = b == '\n';
            if (!line_end) ++counter;
            if (mode == Mode::insert_line_ends) {
                const std::int64_t k = counter - 1;
                if (k != 0 && divides(k)) write('\n');
                write(b);
            } else if (!line_end) {
                write(b);
            } else {
                while (length != 0 && !divides(counter)) {
                    write(' ');
                    ++counter;
                }
            }
        }
        b = following;
    }
    return counter;
}

struct ReferenceResult {
    std::string output;
    std::int64_t counter = 0;
};

inline ReferenceResult reference_convert(std::string_view input, Mode mode, std::int32_t rcdlen) {
    ReferenceResult result;
    std::size_t at = 0;
    result.counter = reference_loop(
        [&] { return at < input.size() ? static_cast<unsigned char>(input[at++]) : -1; },
        [&](int b) { result.output += static_cast<char>(b); }, mode, rcdlen);
    return result;
}

}  // namespace zeilfuge
