// Command-line arguments: the run settings and the result of checking them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zeilfuge {

// The process exit codes.
enum class Result : int {
    completed = 0,
    failed = 97,                 // anything that went wrong after the input was opened
    invalid_mode = 98,           // the mode word is neither *INS nor *DEL
    invalid_record_length = 98,  // *INS with RCDLEN 0
    too_few_arguments = 99,      // fewer than four arguments
    input_not_found = 99,        // the input file can't be opened
};

inline constexpr std::string_view kInsertWord = "*INS";
inline constexpr std::string_view kDeleteWord = "*DEL";

struct RunSettings {
    std::string input_name;          // argument 1 as typed, never shortened
    std::string output_name;         // argument 2 as typed, never shortened
    std::string mode_word;           // argument 3 upper-cased
    std::string record_length_word;  // argument 4 as typed
    std::int32_t record_length = 0;
    bool display = false;
};

// Fills the settings from the argument vector (element 0 is the program name) as far as
// the checks get, and tells whether the conversion may run.
Result parse_arguments(int argc, const char* const* argv, RunSettings& settings);

// *INS cuts a line after every RCDLEN bytes. RCDLEN 0, from a fourth argument that is no
// number (mistyped, or the display switch) or a zero, would cut none and copy the input as
// it is. *DEL takes 0 as "pad nothing", which its usage example relies on.
bool record_length_refused(const RunSettings& settings);

// Maps a-z to A-Z and leaves every other byte alone, whatever the locale.
std::string to_upper(std::string_view text);

// Reads a decimal number the way strtol would, except that it never fails: leading white
// space, one sign, digits up to the first non-digit, wrapping around in 32 bits.
std::int32_t decimal_value(std::string_view text);

}  // namespace zeilfuge
