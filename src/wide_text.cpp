#include "wide_text.hpp"

#include <cstdint>

namespace zeilfuge {

namespace {

bool is_high_surrogate(std::uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(std::uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void append_utf8(std::string& out, std::uint32_t code) {
    const auto byte = [&out](std::uint32_t value) { out += static_cast<char>(value); };
    if (code < 0x80) {
        byte(code);
    } else if (code < 0x800) {
        byte(0xC0 | code >> 6);
        byte(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        byte(0xE0 | code >> 12);
        byte(0x80 | (code >> 6 & 0x3F));
        byte(0x80 | (code & 0x3F));
    } else {
        byte(0xF0 | code >> 18);
        byte(0x80 | (code >> 12 & 0x3F));
        byte(0x80 | (code >> 6 & 0x3F));
        byte(0x80 | (code & 0x3F));
    }
}

constexpr std::uint32_t kMalformed = 0xFFFFFFFF;

struct Lead {
    std::size_t length;
    std::uint32_t bits;
    std::uint32_t smallest;  // anything below has a shorter form
};

Lead lead_of(unsigned char lead) {
    if (lead < 0x80) return {1, lead, 0};
    if (lead >= 0xC2 && lead <= 0xDF) return {2, lead & 0x1Fu, 0x80};
    if (lead >= 0xE0 && lead <= 0xEF) return {3, lead & 0x0Fu, 0x800};
    if (lead >= 0xF0 && lead <= 0xF4) return {4, lead & 0x07u, 0x10000};
    return {0, 0, 0};
}

// Decodes the sequence at text[at] and moves past it; kMalformed when it is malformed.
std::uint32_t decode_one(std::string_view text, std::size_t& at) {
    const Lead lead = lead_of(static_cast<unsigned char>(text[at]));
    if (lead.length == 0 || text.size() - at < lead.length) return kMalformed;
    std::uint32_t code = lead.bits;
    for (std::size_t i = 1; i < lead.length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0u) != 0x80) return kMalformed;
        code = code << 6 | (next & 0x3Fu);
    }
    if (code < lead.smallest || code > 0x10FFFF) return kMalformed;
    at += lead.length;
    return code;
}

}  // namespace

std::string utf8_from_utf16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size() * 3);
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t code = text[i];
        if (is_high_surrogate(code) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        }
        append_utf8(out, code);
    }
    return out;
}

bool utf16_from_utf8(std::string_view text, std::u16string& wide) {
    wide.clear();
    wide.reserve(text.size());
    bool after_lone_high = false;
    for (std::size_t at = 0; at < text.size();) {
        const std::uint32_t code = decode_one(text, at);
        if (code == kMalformed) return false;
        if (after_lone_high && is_low_surrogate(code)) return false;
        after_lone_high = is_high_surrogate(code);
        if (code >= 0x10000) {
            wide += static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            wide += static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            wide += static_cast<char16_t>(code);
        }
    }
    return true;
}

}  // namespace zeilfuge
