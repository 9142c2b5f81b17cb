// The argument parser on any argument vector: it must not crash, must answer 0, 98 or 99,
// and must leave settings that agree with the vector.
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
    const Result result = parse_arguments(argc, argv.data(), settings);

    if (argc < 5) {
        if (result != Result::too_few_arguments || settings.display) std::abort();
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
    if (settings.mode_word != upper(words[3])) std::abort();
    const bool valid = settings.mode_word == "*INS" || settings.mode_word == "*DEL";
    if (!valid) {
        if (result != Result::invalid_mode || record_length_refused(settings)) std::abort();
        return 0;
    }
    if (settings.record_length != decimal_value(words[4])) std::abort();
    if (settings.record_length_word != words[4]) std::abort();
    // *INS must cut somewhere: RCDLEN 0 is refused, with the same code as the mode word.
    const bool refused = settings.mode_word == "*INS" && settings.record_length == 0;
    if (record_length_refused(settings) != refused) std::abort();
    if (result != (refused ? Result::invalid_record_length : Result::completed)) std::abort();
    return 0;
}
