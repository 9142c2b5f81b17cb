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

}  // namespace

std::string input_error_line(std::string_view input_name) {
    return quoted_name_line("ERROR: Datei ", input_name, " nicht gefunden");
}

std::string create_error_line(std::string_view output_name) {
    return quoted_name_line("ERROR: Datei ", output_name, " kann nicht geschrieben werden");
}

std::string read_error_line(std::string_view input_name) {
    return quoted_name_line("ERROR: Lesefehler in Datei ", input_name, "");
}

std::string write_error_line(std::string_view output_name) {
    return quoted_name_line("ERROR: Schreibfehler in Datei ", output_name, "");
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
