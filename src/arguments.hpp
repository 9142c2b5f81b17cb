// Command-line arguments: the run settings, or why the command line is refused.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "conversion.hpp"

namespace zeilfuge {

inline constexpr std::string_view kInsertWord = "*INS";
inline constexpr std::string_view kDeleteWord = "*DEL";

// Why a command line is refused; every refusal prints the banner and the usage.
enum class Refusal {
    none,
    too_few_arguments,   // fewer than four arguments
    bad_mode_word,       // the third is neither *INS nor *DEL, in any case
    record_length_zero,  // *INS with RCDLEN 0
};

struct RunSettings {
    std::string input_name;   // argument 1 as typed, never shortened
    std::string output_name;  // argument 2 as typed, never shortened
    std::string mode_word;    // argument 3 as typed
    Mode mode = Mode::insert_line_ends;
    std::string record_length_word;  // argument 4 as typed
    std::int32_t record_length = 0;
    bool display = false;
};

// Fills the settings from the argument vector (element 0 is the program name) as far as
// the checks get, and tells why the conversion may not run, if it may not.
//
// *INS cuts a line after every RCDLEN bytes. RCDLEN 0, from a fourth argument that is no
// number (mistyped, or the display switch) or a zero, would cut none and copy the input as
// it is. *DEL takes 0 as "pad nothing", which its usage example relies on.
Refusal parse_arguments(int argc, const char* const* argv, RunSettings& settings);

// Maps a-z to A-Z and leaves every other byte alone, whatever the locale.
std::string to_upper(std::string_view text);

// Reads a decimal number the way strtol would, except that it never fails: leading white
// space, one sign, digits up to the first non-digit, wrapping around in 32 bits.
std::int32_t decimal_value(std::string_view text);

}  // namespace zeilfuge
