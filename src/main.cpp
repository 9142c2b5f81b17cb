// zeilfuge: inserts CR LF after every RCDLEN bytes of a record file (*INS), or removes the
// line ends of a DOS text file and pads each line with blanks to whole records (*DEL).

#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "conversion.hpp"
#include "platform.hpp"
#include "texts.hpp"
#include "wide_text.hpp"

namespace zeilfuge {
namespace {

// The kernel's copies between the page cache and the buffers decide the speed. Measured on
// ext4, they cost markedly less per byte in 512 KiB calls than in 64 or 128 KiB ones, and
// when both sides share their alignment: so the buffers start on a page, and every write
// but the last is whole pages, at a file offset that is whole pages too.
constexpr std::size_t kInputBlock = std::size_t{512} * 1024;
constexpr std::size_t kPage = 4096;
// One input block converted by *INS with RCDLEN 1 fits, behind a partial page carried over.
constexpr std::size_t kOutputBlock = 3 * kInputBlock + kPage + kMinimumOutput;

struct alignas(kPage) Buffers {
    std::byte in[kInputBlock];
    std::byte out[kOutputBlock];
};

enum class Outcome { converted, read_failed, write_failed, replace_failed };

struct Output {
    File file;
    std::string written_name;  // the file being written: the output, or a temporary file
    std::string target;        // for a run in place: the file that the result replaces
    bool removable = false;    // a regular file that we made, so removed when the run fails
};

bool create_file(const std::string& name, File input, Output& output) {
    if (is_input_file(input, name)) {
        // Truncating the output would destroy the input; the result replaces it at the end.
        output.target = resolve_link(name);
        return create_temporary_beside(output.target, output.file, output.written_name);
    }
    if (!create_output(name, output.file)) return false;
    // Resolved once the file exists, so that a link that pointed nowhere before names it too.
    output.written_name = resolve_link(name);
    return true;
}

bool open_output(const std::string& name, File input, Output& output) {
    hold_interrupts();
    const bool created = create_file(name, input, output);
    output.removable = created && is_regular_file(output.file);
    if (output.removable) remove_on_interrupt(output.written_name);
    release_interrupts();
    return created;
}

// Finishes the output; false when its data could not all be written.
bool finish_output(Output& output, File input) {
    if (output.target.empty()) return close_file(output.file);
    copy_permissions(input, output.file);
    return flush_to_disk(output.file) && close_file(output.file);
}

// Puts the result in place, or removes it after a failure.
Outcome settle_output(Outcome outcome, Output& output) {
    hold_interrupts();
    if (outcome == Outcome::converted && !output.target.empty() &&
        !replace_file(output.written_name, output.target)) {
        outcome = Outcome::replace_failed;
    }
    if (outcome != Outcome::converted) {
        close_file(output.file);
        if (output.removable) remove_file(output.written_name);
    }
    remove_on_interrupt({});
    release_interrupts();
    return outcome;
}

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

// Writes the whole pages at the front of the output buffer and moves the rest to its start.
bool write_pages(File output, std::span<std::byte> buffer, std::size_t& used) {
    const std::size_t whole = used / kPage * kPage;
    if (!write_all(output, buffer.first(whole))) return false;
    std::memmove(buffer.data(), buffer.data() + whole, used - whole);
    used -= whole;
    return true;
}

Outcome convert_file(File input, File output, ConversionState& state) {
    // Not cleared: the pages an output never reaches are never touched.
    const auto buffers = std::make_unique_for_overwrite<Buffers>();
    const std::span<std::byte> in(buffers->in);
    const std::span<std::byte> out(buffers->out);
    std::size_t used = 0;
    for (;;) {
        const std::ptrdiff_t n = read_some(input, in);
        if (n < 0) return Outcome::read_failed;
        const bool at_end = n == 0;
        std::span<const std::byte> rest = in.first(static_cast<std::size_t>(n));
        for (;;) {
            const BlockResult step = convert_block(state, rest, out.subspan(used), at_end);
            rest = rest.subspan(step.consumed);
            used += step.produced;
            if (step.complete) break;
            if (!write_pages(output, out, used)) return Outcome::write_failed;
        }
        if (at_end || state.ended) {
            return write_all(output, out.first(used)) ? Outcome::converted : Outcome::write_failed;
        }
        if (!write_pages(output, out, used)) return Outcome::write_failed;
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
    outcome = settle_output(outcome, output);
    if (outcome != Outcome::converted) {
        print(failure_line(outcome, settings));
        return static_cast<int>(Result::failed);
    }

    if (settings.display) print(summary(settings.output_name, state.counter));
    return static_cast<int>(Result::completed);
}

}  // namespace
}  // namespace zeilfuge

#ifdef _WIN32
// The command line in UTF-16, split by the C runtime by the same rules as for main. Each
// argument goes on as UTF-8, so no name passes through the ANSI code page, whose best-fit
// look-alikes would name other files.
int wmain(int argc, wchar_t** argv) {
    zeilfuge::prepare_process();
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        const std::wstring_view wide(argv[i]);
        arguments.push_back(zeilfuge::utf8_from_utf16(std::u16string(wide.begin(), wide.end())));
    }
    std::vector<const char*> pointers;
    for (const std::string& argument : arguments)
        pointers.push_back(argument.c_str());
    return zeilfuge::run(argc, pointers.data());
}
#else
int main(int argc, char** argv) {
    zeilfuge::prepare_process();
    return zeilfuge::run(argc, argv);
}
#endif
