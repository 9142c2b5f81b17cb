// zeilfuge: inserts CR LF after every RCDLEN bytes of a record file (*INS), or removes the
// line ends of a DOS text file and pads each line with blanks to whole records (*DEL).

#include <memory>
#include <span>
#include <string>

#include "arguments.hpp"
#include "conversion.hpp"
#include "platform.hpp"
#include "texts.hpp"

namespace zeilfuge {
namespace {

// Large enough that system calls cost little, small enough to stay in the cache.
constexpr std::size_t kInputBlock = std::size_t{128} * 1024;
// One input block converted by *INS with RCDLEN 1 fits, so each read gives one write.
constexpr std::size_t kOutputBlock = 3 * kInputBlock + kMinimumOutput;

enum class Outcome { converted, read_failed, write_failed };

struct Output {
    File file;
    std::string written_name;  // the file being written: the output, or a temporary file
    std::string target;        // for a run in place: the file that the result replaces
    bool removable = false;    // a regular file that we made, so removed when the run fails
};

bool open_output(const std::string& name, File input, Output& output) {
    if (is_input_file(input, name)) {
        // Truncating the output would destroy the input; the result replaces it at the end.
        output.target = resolve_link(name);
        if (!create_temporary_beside(output.target, output.file, output.written_name)) {
            return false;
        }
    } else {
        output.written_name = resolve_link(name);
        if (!create_output(name, output.file)) return false;
    }
    output.removable = is_regular_file(output.file);
    if (output.removable) remove_on_interrupt(output.written_name);
    return true;
}

// Finishes the output; false when its data could not all be written.
bool finish_output(Output& output, File input) {
    if (output.target.empty()) return close_file(output.file);
    copy_permissions(input, output.file);
    return flush_to_disk(output.file) && close_file(output.file);
}

void discard_output(Output& output) {
    close_file(output.file);
    if (output.removable) remove_file(output.written_name);
    remove_on_interrupt({});
}

Outcome convert_file(File input, File output, ConversionState& state) {
    const auto in = std::make_unique<std::byte[]>(kInputBlock);
    const auto out = std::make_unique<std::byte[]>(kOutputBlock);
    const std::span<std::byte> out_buffer(out.get(), kOutputBlock);
    for (;;) {
        const std::ptrdiff_t n = read_some(input, {in.get(), kInputBlock});
        if (n < 0) return Outcome::read_failed;
        const bool at_end = n == 0;
        std::span<const std::byte> rest(in.get(), static_cast<std::size_t>(n));
        std::size_t used = 0;
        for (;;) {
            const BlockResult step = convert_block(state, rest, out_buffer.subspan(used), at_end);
            rest = rest.subspan(step.consumed);
            used += step.produced;
            if (step.complete) break;
            if (!write_all(output, out_buffer.first(used))) return Outcome::write_failed;
            used = 0;
        }
        if (!write_all(output, out_buffer.first(used))) return Outcome::write_failed;
        if (at_end || state.ended) return Outcome::converted;
    }
}

int run(int argc, const char* const* argv) {
    RunSettings settings;
    const Result parsed = parse_arguments(argc, argv, settings);
    if (parsed != Result::completed) {
        print_banner();
        print_usage();
        return static_cast<int>(parsed);
    }
    if (settings.display) print_banner();

    File input;
    if (!open_input(settings.input_name, input)) {
        print(input_error_line(settings.input_name));
        return static_cast<int>(Result::input_not_found);
    }
    Output output;
    if (!open_output(settings.output_name, input, output)) {
        close_file(input);
        print(create_error_line(settings.output_name));
        return static_cast<int>(Result::failed);
    }

    const Mode mode =
        settings.mode_word == kInsertWord ? Mode::insert_line_ends : Mode::delete_line_ends;
    ConversionState state = start_conversion(mode, settings.record_length);
    Outcome outcome = convert_file(input, output.file, state);
    if (outcome == Outcome::converted && !finish_output(output, input)) {
        outcome = Outcome::write_failed;
    }
    close_file(input);
    bool replaced = true;
    if (outcome == Outcome::converted && !output.target.empty()) {
        replaced = replace_file(output.written_name, output.target);
    }
    if (outcome != Outcome::converted || !replaced) {
        discard_output(output);
        print(outcome == Outcome::read_failed    ? read_error_line(settings.input_name)
              : outcome == Outcome::write_failed ? write_error_line(settings.output_name)
                                                 : create_error_line(settings.output_name));
        return static_cast<int>(Result::failed);
    }
    remove_on_interrupt({});

    if (settings.display) print(summary(settings.output_name, state.counter));
    return static_cast<int>(Result::completed);
}

}  // namespace
}  // namespace zeilfuge

int main(int argc, char** argv) {
    zeilfuge::prepare_process();
    return zeilfuge::run(argc, argv);
}
