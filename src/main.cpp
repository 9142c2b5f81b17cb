// zeilfuge: inserts CR LF after every RCDLEN bytes of a record file (*INS), or removes the
// line ends of a DOS text file and pads each line with blanks to whole records (*DEL).

#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "conversion.hpp"
#include "output.hpp"
#include "platform.hpp"
#include "texts.hpp"
#include "transfer.hpp"
#include "wide_text.hpp"

namespace zeilfuge {
namespace {

std::string failure_line(Outcome outcome, const RunSettings& settings) {
    switch (outcome) {
        case Outcome::read_failed:
            return read_error_line(settings.input_name);
        case Outcome::write_failed:
            return write_error_line(settings.output_name);
        default:
            return create_error_line(settings.output_name);
    }
}

// Opens the files, converts, and puts the output in place; a failure on the way leaves
// what the output's life says (output.cpp), and no failure aborts the run.
int convert_files(const RunSettings& settings, Input& input, Output& output) {
    if (!open_input_file(settings.input_name, input)) {
        print(input_error_line(settings.input_name));
        return static_cast<int>(Result::input_not_found);
    }
    // Taken before the output is touched: a run without memory leaves it as it was.
    TransferBuffers buffers;
    if (!obtain_buffers(buffers)) {
        close_input_file(input);
        print(write_error_line(settings.output_name));
        return static_cast<int>(Result::failed);
    }
    if (!open_output(settings.output_name, input, output)) {
        release_buffers(buffers);
        discard_output(output);
        close_input_file(input);
        print(create_error_line(settings.output_name));
        return static_cast<int>(Result::failed);
    }

    const Mode mode =
        settings.mode_word == kInsertWord ? Mode::insert_line_ends : Mode::delete_line_ends;
    ConversionState state = start_conversion(mode, settings.record_length);
    // A standard input is the caller's: its flags are left as they are.
    if (!input.borrowed) await_input(input.file);
    Outcome outcome = convert_file(input.file, output.file, state, buffers);
    release_buffers(buffers);
    if (outcome == Outcome::converted) outcome = finish_output(output, input);
    close_input_file(input);
    if (outcome != Outcome::converted) {
        discard_output(output);
        print(failure_line(outcome, settings));
        return static_cast<int>(Result::failed);
    }

    if (settings.display) print(summary(settings.output_name, state.counter));
    return static_cast<int>(Result::completed);
}

int run(int argc, const char* const* argv) {
    RunSettings settings;
    const Result parsed = parse_arguments(argc, argv, settings);
    if (parsed != Result::completed) {
        print_banner();
        print_usage();
        if (record_length_refused(settings))
            print(record_length_error_line(settings.record_length_word));
        return static_cast<int>(parsed);
    }
    if (settings.display) print_banner();

    Input input;
    Output output;
    try {
        return convert_files(settings, input, output);
    } catch (const std::bad_alloc&) {
        // Out of memory anywhere else (a ulimit -v, say): a write error like any other, the
        // output discarded as its state says.
        discard_output(output);
        close_input_file(input);
        print(write_error_line(settings.output_name));
        return static_cast<int>(Result::failed);
    }
}

}  // namespace
}  // namespace zeilfuge

#ifdef _WIN32
// The command line in UTF-16, split by the C runtime by the same rules as for main. Each
// argument goes on as UTF-8, so no name passes through the ANSI code page, whose best-fit
// look-alikes would name other files.
int wmain(int argc, wchar_t** argv) {
    zeilfuge::prepare_process();
    std::vector<std::string> arguments(static_cast<std::size_t>(argc));
    std::transform(argv, argv + argc, arguments.begin(), [](const wchar_t* argument) {
        const std::wstring_view wide(argument);
        return zeilfuge::utf8_from_utf16(std::u16string(wide.begin(), wide.end()));
    });
    std::vector<const char*> pointers(arguments.size());
    std::ranges::transform(arguments, pointers.begin(),
                           [](const std::string& argument) { return argument.c_str(); });
    return zeilfuge::run(argc, pointers.data());
}
#else
int main(int argc, char** argv) {
    zeilfuge::prepare_process();
    return zeilfuge::run(argc, argv);
}
#endif
