#include "output.hpp"

namespace zeilfuge {

namespace {

// In place: the result goes to a new file beside the input, which keeps the input's owner,
// group, permissions and access list, and takes its place once complete. Where what the
// input had can't be kept, the run is refused rather than widen or narrow who may read it.
bool replace_later(const std::string& name, const Input& input, const FileIdentity& input_id,
                   Output& output) {
    // Standard input read from somewhere past its start would replace the file with only a
    // part of it.
    if (input.borrowed && !reads_from_start(input.file)) return false;
    if (!locate(name, input.file, output.target)) return false;
    output.target_identity = input_id;
    if (!create_temporary_beside(output.target, output.file, output.place, output.identity)) {
        return false;
    }
    output.discard = true;
    discard_on_interrupt(output.place, output.file, output.identity);
    return copy_metadata(input.file, output.file);
}

// Decides what becomes of the opened output. On failure `file` is left open for the caller,
// or closed where the decision already closed it.
bool compare_opened(const std::string& name, const Input& input, File& file, Output& output) {
    FileIdentity input_id;
    FileIdentity output_id;
    FileIdentity standard_id;
    // Opened, not truncated, and only then compared: nothing by name can be swapped in
    // between. A comparison that can't be made is a failure, never taken as "different".
    if (!make_blocking(file) || !identify(input.file, input_id) || !identify(file, output_id) ||
        !identify(standard_output(), standard_id)) {
        return false;
    }
    if (same_file(input_id, output_id)) {
        if (output_id.kind == FileKind::regular) {
            close_file(file);
            return replace_later(name, input, input_id, output);
        }
        // Written while read, a disk or a FIFO would lose what wasn't read yet; a terminal
        // reads and writes apart.
        if (output_id.kind != FileKind::character_device) return false;
    }
    if (same_file(standard_id, output_id)) {
        // The file standard output already writes: reopened and truncated, it would lose
        // what was written before, the banner or a log appended to.
        close_file(file);
        output.file = standard_output();
        output.borrowed = true;
        return true;
    }
    if (output_id.kind == FileKind::regular && !truncate_file(file)) return false;
    output.file = file;
    output.identity = output_id;
    file = File{};
    if (output_id.kind != FileKind::regular) return true;
    // Not found by name (the name was swapped, or reaches it through /proc), the file can
    // still be emptied through its descriptor.
    locate(name, output.file, output.place);
    output.discard = true;
    discard_on_interrupt(output.place, output.file, output.identity);
    return true;
}

bool open_and_compare(const std::string& name, const Input& input, Output& output) {
    File file;
    bool created = false;
    if (!open_for_writing(name, file, created)) return false;
    if (compare_opened(name, input, file, output)) return true;
    // A failed run leaves no empty file behind that it made itself.
    FileIdentity made;
    Place place;
    if (created && file.handle != File{}.handle && identify(file, made) &&
        locate(name, file, place)) {
        discard_file(place, file, made);
    }
    close_file(file);
    return false;
}

}  // namespace

bool open_input_file(const std::string& name, Input& input) {
    if (!open_input(name, input.file)) return false;
    FileIdentity opened;
    FileIdentity standard;
    if (identify(input.file, opened) && identify(standard_input(), standard) &&
        same_file(opened, standard)) {
        close_file(input.file);
        input.file = standard_input();
        input.borrowed = true;
    }
    return true;
}

void close_input_file(Input& input) {
    if (!input.borrowed) close_file(input.file);
    input.file = File{};
}

bool open_output(const std::string& name, const Input& input, Output& output) {
    hold_interrupts();
    const bool opened = open_and_compare(name, input, output);
    release_interrupts();
    return opened;
}

Outcome finish_output(Output& output, Input& input) {
    // In place, what the input had is given to the result again once all of it is written:
    // a write by a user without the right to keep them clears the set-ID bits and the file
    // capabilities.
    const bool in_place = !output.target.name.empty();
    const bool kept = !in_place || copy_metadata(input.file, output.file);
    const bool flushed = !in_place || !kept || flush_to_disk(output.file);
    // The input is closed before the output, and before it is replaced: Windows refuses to
    // replace a file still open.
    close_input_file(input);
    if (!kept) return Outcome::replace_failed;
    if (!flushed) return Outcome::write_failed;
    if (output.borrowed) {
        hold_interrupts();
        complete_on_interrupt();
        release_interrupts();
        return Outcome::converted;
    }
    if (!in_place) {
        if (!close_file(output.file)) return Outcome::write_failed;
        hold_interrupts();
        forget_on_interrupt();
        complete_on_interrupt();
        release_interrupts();
        return Outcome::converted;
    }
    hold_interrupts();
    // Closed before the replace, which Windows refuses for a file still open; from here on
    // the file is found by its name, and removed only while that name still holds it.
    const bool closed = close_file(output.file);
    discard_on_interrupt(output.place, output.file, output.identity);
    // Checked to the last moment: the input is replaced only while its name still holds it.
    const bool replaced =
        closed && replace_file(output.place, output.target, output.target_identity);
    if (replaced) {
        forget_on_interrupt();
        complete_on_interrupt();
    }
    release_interrupts();
    if (!closed) return Outcome::write_failed;
    return replaced ? Outcome::converted : Outcome::replace_failed;
}

void discard_output(Output& output) {
    hold_interrupts();
    if (output.discard) discard_file(output.place, output.file, output.identity);
    forget_on_interrupt();
    release_interrupts();
    if (!output.borrowed) close_file(output.file);
}

}  // namespace zeilfuge
