// The argument parser on any argument vector: it must not crash, must refuse a command line
// for its reason alone, and must leave settings that agree with the vector.
//   data: the arguments, separated by NUL bytes (element 0 first)
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "arguments.hpp"

using namespace zeilfuge;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            words.emplace_back();
        } else {
            words.back() += static_cast<char>(data[i]);
        }
    }
    std::vector<const char*> argv;
    for (const std::string& word : words)
        argv.push_back(word.c_str());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    RunSettings settings;
    const Refusal result = parse_arguments(argc, argv.data(), settings);

    if (argc < 5) {
        if (result != Refusal::too_few_arguments || settings.display) std::abort();
        return 0;
    }
    // Upper-cased here without the parser's helper, so that a fault in it shows.
    auto upper = [](std::string word) {
        for (char& c : word) {
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        }
        return word;
    };
    bool display = false;
    for (const std::string& word : words) {
        display = display || upper(word) == "/D" || upper(word) == "-D";
    }
    if (settings.display != display) std::abort();
    if (settings.input_name != words[1] || settings.output_name != words[2]) std::abort();
    if (settings.mode_word != words[3]) std::abort();
    const bool insert = upper(words[3]) == "*INS";
    if (!insert && upper(words[3]) != "*DEL") {
        if (result != Refusal::bad_mode_word) std::abort();
        return 0;
    }
    if (settings.mode != (insert ? Mode::insert_line_ends : Mode::delete_line_ends)) std::abort();
    if (settings.record_length != decimal_value(words[4])) std::abort();
    if (settings.record_length_word != words[4]) std::abort();
    // *INS must cut somewhere: RCDLEN 0 is refused.
    const bool refused = insert && settings.record_length == 0;
    if (result != (refused ? Refusal::record_length_zero : Refusal::none)) std::abort();
    return 0;
}
