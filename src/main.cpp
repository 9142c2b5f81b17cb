// zeilfuge: inserts CR LF after every RCDLEN bytes of a record file (*INS), or removes the
// line ends of a DOS text file and pads each line with blanks to whole records (*DEL).

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "conversion.hpp"
#include "output.hpp"
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
        if (record_length_refused(settings))
            print(record_length_error_line(settings.record_length_word));
        return static_cast<int>(parsed);
    }
    if (settings.display) print_banner();

    Input input;
    if (!open_input_file(settings.input_name, input)) {
        print(input_error_line(settings.input_name));
        return static_cast<int>(Result::input_not_found);
    }
    Output output;
    if (!open_output(settings.output_name, input, output)) {
        discard_output(output);
        close_input_file(input);
        print(create_error_line(settings.output_name));
        return static_cast<int>(Result::failed);
    }

    const Mode mode =
        settings.mode_word == kInsertWord ? Mode::insert_line_ends : Mode::delete_line_ends;
    ConversionState state = start_conversion(mode, settings.record_length);
    await_input(input.file);
    Outcome outcome = convert_file(input.file, output.file, state);
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
