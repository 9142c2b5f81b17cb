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

// Why a file couldn't be made, read or written, as the system told it.
enum class Reason {
    none,            // the system told nothing: the line ends without a reason
    folder_missing,  // a folder on the way to the name doesn't exist
    no_permission,
    is_folder,
    disk_full,
    quota_exceeded,  // the user's share of the disk is used up
    file_too_large,  // past the file size limit of the process or the file system
    read_only_fs,    // a file system mounted read-only, or a write-protected medium
    name_too_long,
    invalid_name,    // a character that the file system doesn't take in a name (Windows)
    name_taken,      // another file took the name meanwhile
    in_use,          // another program has the file open or locked
    too_many_links,  // symbolic links that loop, or go too deep
    device_error,    // the device reported an I/O error
    out_of_memory,
    other,
};

// The reason's German text, as it follows the line's colon; empty for none.
std::string_view reason_text(Reason reason);

// The reason for a system error: errno on POSIX (reasons_posix.cpp), the value of
// GetLastError on Windows (reasons_windows.cpp). 0 is none.
Reason reason_from_error(int error);

// The error lines end without a line end. A reason other than none is appended as
// ": " and its text.
std::string input_error_line(std::string_view input_name);
std::string create_error_line(std::string_view output_name, Reason reason = Reason::none);
std::string read_error_line(std::string_view input_name, Reason reason = Reason::none);
std::string write_error_line(std::string_view output_name, Reason reason = Reason::none);
std::string mode_error_line(std::string_view mode_word);
// A replace that failed halfway left the result, its only copy, under another name.
std::string left_aside_line(std::string_view result_name);
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
