// Names between the UTF-16 of the Windows API and the UTF-8 of the portable code.
#pragma once

#include <string>
#include <string_view>

namespace zeilfuge {

// Every UTF-16 sequence becomes UTF-8, losslessly. Windows allows an unpaired surrogate in
// a name; it is encoded like any other code point (as WTF-8 does), so that converting back
// gives the very name that was typed, never another one.
std::string utf8_from_utf16(std::u16string_view text);

// The way back. Fails on bytes that utf8_from_utf16 can't have produced: malformed or
// overlong UTF-8, code points beyond U+10FFFF, or a surrogate pair spelt as two separate
// surrogates, which would name the same file as its proper four-byte form.
bool utf16_from_utf8(std::string_view text, std::u16string& wide);

}  // namespace zeilfuge
