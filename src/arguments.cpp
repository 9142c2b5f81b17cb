#include "arguments.hpp"

#include <algorithm>

namespace zeilfuge {

std::string to_upper(std::string_view text) {
    std::string upper(text);
    std::ranges::transform(upper, upper.begin(), [](char c) {
        return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
    });
    return upper;
}

std::int32_t decimal_value(std::string_view text) {
    std::size_t i = 0;
    auto is_space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (i < text.size() && is_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    // Unsigned arithmetic wraps by definition; the cast back is two's complement in C++20.
    std::uint32_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10U + static_cast<std::uint32_t>(text[i] - '0');
    }
    if (negative) value = 0U - value;
    return static_cast<std::int32_t>(value);
}

Refusal parse_arguments(int argc, const char* const* argv, RunSettings& settings) {
    if (argc < 5) return Refusal::too_few_arguments;
    for (int i = 0; i < argc; ++i) {
        const std::string word = to_upper(argv[i]);
        if (word == "/D" || word == "-D") settings.display = true;
    }
    settings.input_name = argv[1];
    settings.output_name = argv[2];
    settings.mode_word = argv[3];
    const std::string mode_word = to_upper(argv[3]);
    if (mode_word == kInsertWord) {
        settings.mode = Mode::insert_line_ends;
    } else if (mode_word == kDeleteWord) {
        settings.mode = Mode::delete_line_ends;
    } else {
        return Refusal::bad_mode_word;
    }
    settings.record_length_word = argv[4];
    settings.record_length = decimal_value(argv[4]);
    if (settings.mode == Mode::insert_line_ends && settings.record_length == 0)
        return Refusal::record_length_zero;
    return Refusal::none;
}

}  // namespace zeilfuge
