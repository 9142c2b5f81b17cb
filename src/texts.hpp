// The console texts: banner, usage, the error lines and the summary.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zeilfuge {

inline constexpr std::string_view kStarLine =
    "*******************************************************\n";

inline constexpr std::string_view kBanner =
    "\n"
    "*******************************************************\n"
    "**                                                   **\n"
    "** Projekt     : QUELLARIS                           **\n"
    "** Tool        : ZEILFUGE                            **\n"
    "** Beschreibung: Kopiert in eine Streemfile CRLF     **\n"
    "**                                                   **\n"
    "*******************************************************\n"
    "\n";

inline constexpr std::string_view kUsage =
    "Befehlsformat: \n"
    "ZEILFUGE.EXE [Eingabedatei] [Ausgabedatei] [*ins RCDLEN | *del] [/d]\n"
    "\n"
    "Beispiel:\n"
    "ZEILFUGE.EXE BELTRA17.txt BELTRA17_crlf.txt *ins 11 /d \n"
    "-oder-\n"
    "ZEILFUGE.EXE BELVOK62_crlf.txt BELVOK62.txt *del /d \n"
    "\n";

// The error lines end without a line end.
std::string input_error_line(std::string_view input_name);
std::string create_error_line(std::string_view output_name);
std::string read_error_line(std::string_view input_name);
std::string write_error_line(std::string_view output_name);
std::string record_length_error_line(std::string_view record_length_word);
std::string summary(std::string_view output_name, std::int64_t counter);

// Every LF becomes CR LF, on every platform and whatever standard output is.
std::string console_form(std::string_view text);

// Writes a text to standard output in console form, at once.
void print(std::string_view text);
inline void print_banner() {
    print(kBanner);
}
inline void print_usage() {
    print(kUsage);
}

}  // namespace zeilfuge
