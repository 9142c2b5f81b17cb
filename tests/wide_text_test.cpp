#include "wide_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zeilfuge {
namespace {

struct Spelling {
    std::u16string utf16;
    std::string utf8;
};

TEST(WideText, KnownNamesHaveTheirStandardUtf8Form) {
    const std::vector<Spelling> cases = {
        {u"", ""},
        {u"in.txt", "in.txt"},
        {u"M\u00fcller \u00e4\u00f6\u00fc\u00df", "M\xc3\xbcller \xc3\xa4\xc3\xb6\xc3\xbc\xc3\x9f"},
        {u"\u03a9mega.txt", "\xce\xa9mega.txt"},
        {u"\u6570\u636e.txt", "\xe6\x95\xb0\xe6\x8d\xae.txt"},
        {u"a\uff02b",
         "a\xef\xbc\x82"
         "b"},
        {u"\U0001d11e", "\xf0\x9d\x84\x9e"},
        {u"\U0010ffff", "\xf4\x8f\xbf\xbf"},
        {u"\uffff\ue000", "\xef\xbf\xbf\xee\x80\x80"},
        // Unpaired surrogates, which Windows allows in names, get their own three bytes.
        {std::u16string(1, char16_t{0xd800}), "\xed\xa0\x80"},
        {u"x" + std::u16string(1, char16_t{0xdfff}), "x\xed\xbf\xbf"},
        {std::u16string{char16_t{0xdc00}, char16_t{0xd800}}, "\xed\xb0\x80\xed\xa0\x80"},
        {std::u16string{char16_t{0xd800}, char16_t{0xd800}, char16_t{0xdc00}},
         "\xed\xa0\x80\xf0\x90\x80\x80"},
    };
    for (const Spelling& spelling : cases) {
        EXPECT_EQ(utf8_from_utf16(spelling.utf16), spelling.utf8) << spelling.utf8;
        std::u16string back;
        ASSERT_TRUE(utf16_from_utf8(spelling.utf8, back)) << spelling.utf8;
        EXPECT_EQ(back, spelling.utf16) << spelling.utf8;
    }
}

// No two names may meet in one UTF-8 form: every single code unit, and every unit after
// a high surrogate, comes back as it went in.
TEST(WideText, EveryCodeUnitComesBackUnchanged) {
    for (std::uint32_t unit = 0; unit <= 0xffff; ++unit) {
        for (const std::u16string& name :
             {std::u16string(1, static_cast<char16_t>(unit)),
              std::u16string{char16_t{0xdbff}, static_cast<char16_t>(unit), u'.'}}) {
            std::u16string back;
            ASSERT_TRUE(utf16_from_utf8(utf8_from_utf16(name), back)) << unit;
            ASSERT_EQ(back, name) << unit;
        }
    }
}

TEST(WideText, RefusesBytesThatNoNameProduces) {
    const std::vector<std::string> refused = {
        "\x80",              // a continuation byte alone
        "a\xc3",             // cut short at the end
        "\xe2\x82",          // cut short
        "\xc3(",             // a lead byte without its continuation
        "\xc0\xae",          // overlong '.'
        "\xc1\xbf",          // overlong
        "\xe0\x80\xaf",      // overlong '/'
        "\xf0\x80\x80\xaf",  // overlong '/'
        "\xf4\x90\x80\x80",  // beyond U+10FFFF
        "\xf5\x80\x80\x80",  // beyond U+10FFFF
        "\xff",
        // A pair spelt as two surrogates would name the same file as its four-byte form.
        "\xed\xa0\x80\xed\xb0\x80",
        "a\xed\xaf\xbf\xed\xbf\xbf"
        "b",
    };
    for (const std::string& bytes : refused) {
        std::u16string wide = u"left over";
        EXPECT_FALSE(utf16_from_utf8(bytes, wide)) << testing::PrintToString(bytes);
    }
}

}  // namespace
}  // namespace zeilfuge
