#include "texts.hpp"

#include "platform.hpp"

namespace zeilfuge {

namespace {

std::string quoted_name_line(std::string_view before, std::string_view name,
                             std::string_view after) {
    std::string line(before);
    line += '"';
    line += name;
    line += '"';
    line += after;
    return line;
}

std::string with_reason(std::string line, Reason reason) {
    if (reason != Reason::none) {
        line += ": ";
        line += reason_text(reason);
    }
    return line;
}

}  // namespace

std::string_view reason_text(Reason reason) {
    switch (reason) {
        case Reason::none:
            return "";
        case Reason::folder_missing:
            return "Verzeichnis fehlt";
        case Reason::no_permission:
            return "Zugriff verweigert";
        case Reason::is_folder:
            return "ist ein Verzeichnis";
        case Reason::disk_full:
            return "Datentraeger voll";
        case Reason::quota_exceeded:
            return "Speicherkontingent erschoepft";
        case Reason::file_too_large:
            return "Datei zu gross";
        case Reason::read_only_fs:
            return "Datentraeger schreibgeschuetzt";
        case Reason::name_too_long:
            return "Name zu lang";
        case Reason::invalid_name:
            return "Name ungueltig";
        case Reason::name_taken:
            return "Name inzwischen vergeben";
        case Reason::in_use:
            return "Datei wird verwendet";
        case Reason::too_many_links:
            return "zu viele symbolische Links";
        case Reason::device_error:
            return "Geraetefehler";
        case Reason::out_of_memory:
            return "Speicher reicht nicht";
        case Reason::other:
            return "Systemfehler";
    }
    return "Systemfehler";
}

std::string input_error_line(std::string_view input_name) {
    return quoted_name_line("ERROR: Datei ", input_name, " nicht gefunden");
}

std::string create_error_line(std::string_view output_name, Reason reason) {
    return with_reason(
        quoted_name_line("ERROR: Datei ", output_name, " kann nicht geschrieben werden"), reason);
}

std::string read_error_line(std::string_view input_name, Reason reason) {
    return with_reason(quoted_name_line("ERROR: Lesefehler in Datei ", input_name, ""), reason);
}

std::string write_error_line(std::string_view output_name, Reason reason) {
    return with_reason(quoted_name_line("ERROR: Schreibfehler in Datei ", output_name, ""), reason);
}

std::string left_aside_line(std::string_view name) {
    return quoted_name_line("ERROR: Datei ", name, " enthaelt das Ergebnis, Ausgabe nicht ersetzt");
}

std::string mode_error_line(std::string_view mode_word) {
    return quoted_name_line("ERROR: Modus ", mode_word, " ungueltig");
}

std::string record_length_error_line(std::string_view record_length_word) {
    return quoted_name_line("ERROR: Satzlaenge ", record_length_word, " ungueltig");
}

std::string summary(std::string_view output_name, std::int64_t counter) {
    std::string text = quoted_name_line("Ausgabe-Datei ", output_name, "  geschlossen.\n");
    text += std::to_string(counter);
    text += " Datensaetze verarbeitet\n";
    text += kStarLine;
    return text;
}

std::string console_form(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

void print(std::string_view text) {
    // Unbuffered, so the console lines and an output file that is standard output itself
    // stay in order.
    write_console(console_form(text));
}

}  // namespace zeilfuge
