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
#include "exit_codes.hpp"
#include "output.hpp"
#include "platform.hpp"
#include "texts.hpp"
#include "transfer.hpp"
#include "wide_text.hpp"

namespace zeilfuge {
namespace {

// `error` is the error code of the call that failed, 0 where none did (an input written to
// by another program during a run in place, say).
std::string failure_line(Outcome outcome, int error, const RunSettings& settings) {
    const Reason reason = reason_from_error(error);
    Place aside;
    if (outcome == Outcome::replace_failed && left_aside(aside)) {
        return left_aside_line(aside.name);
    }
    switch (outcome) {
        case Outcome::read_failed:
            return read_error_line(settings.input_name, reason);
        case Outcome::write_failed:
            return write_error_line(settings.output_name, reason);
        default:
            return create_error_line(settings.output_name, reason);
    }
}

// Opens the files, converts, and puts the output in place; a failure on the way leaves
// what the output's life says (output.cpp), and no failure aborts the run.
RunEnd convert_files(const RunSettings& settings, Input& input, Output& output) {
    if (!open_input_file(settings.input_name, input)) {
        print(input_error_line(settings.input_name));
        return RunEnd::input_not_found;
    }
    // Taken before the output is touched: a run without memory leaves it as it was.
    TransferBuffers buffers;
    if (!obtain_buffers(buffers)) {
        close_input_file(input);
        print(write_error_line(settings.output_name, Reason::out_of_memory));
        return RunEnd::failed;
    }
    if (!open_output(settings.output_name, input, output)) {
        const Reason reason = reason_from_error(output.error);
        release_buffers(buffers);
        discard_output(output);
        close_input_file(input);
        print(create_error_line(settings.output_name, reason));
        return RunEnd::failed;
    }

    ConversionState state = start_conversion(settings.mode, settings.record_length);
    // A standard input is the caller's: its flags are left as they are.
    if (!input.borrowed) await_input(input.file);
    Outcome outcome = convert_file(input.file, output.file, state, buffers);
    if (outcome != Outcome::converted) output.error = last_error();
    release_buffers(buffers);
    if (outcome == Outcome::converted) outcome = finish_output(output, input);
    close_input_file(input);
    if (outcome != Outcome::converted) {
        discard_output(output);
        print(failure_line(outcome, output.error, settings));
        return RunEnd::failed;
    }

    if (settings.display) print(summary(settings.output_name, state.counter));
    return RunEnd::converted;
}

int run(int argc, const char* const* argv) {
    RunSettings settings;
    const Refusal refusal = parse_arguments(argc, argv, settings);
    if (refusal != Refusal::none) {
        print_banner();
        print_usage();
        if (refusal == Refusal::bad_mode_word) print(mode_error_line(settings.mode_word));
        if (refusal == Refusal::record_length_zero)
            print(record_length_error_line(settings.record_length_word));
        return exit_code(refusal);
    }
    if (settings.display) print_banner();

    Input input;
    Output output;
    try {
        return exit_code(convert_files(settings, input, output));
    } catch (const std::bad_alloc&) {
        // Out of memory anywhere else (a ulimit -v, say): a write error like any other, the
        // output discarded as its state says.
        discard_output(output);
        close_input_file(input);
        print(write_error_line(settings.output_name, Reason::out_of_memory));
        return exit_code(RunEnd::failed);
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
