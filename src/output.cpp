// The output's life, one state machine for every kind of output. A file is never written
// under the output's name: a new file is made beside it, with no name where the file system
// can, and given the name only once all of it is written, without replacing anything for a
// new output and by an exchange (or a checked rename) for an existing one. So a failed or
// killed run leaves the name as it was, and an input that the file system shows under a
// second identity is read to its end before anything under that name changes.
//
//                open_output          finish_output            finish_output
//   closed ───────────────► opened ─────────────► written ──────────────────► complete
//                             │    all of it written,  │    put in place:
//                             │    kept, flushed       │    named, closed, exchanged
//                             └──────────┬─────────────┘
//                                        ▼ a failure, or bad_alloc: discard_output
//                                    discarded
//
// What an interrupt (a signal, Ctrl-C) and a failure do to the output, by kind and state
// (cleanup_of):
//
//   kind          opened, written                        complete
//   stream        nothing (standard output or error      nothing
//                 itself: never cut, never closed)
//   device        nothing (a terminal, a FIFO, a disk)   nothing
//   replacement   nothing while the new file has no      in place: exit 0; else nothing
//                 name (it goes with the run); else
//                 remove it while its name holds it
//   emptied       empty it through its descriptor,       nothing
//                 never remove it by name
//
// "nothing" needs no handler: the signal ends the run as it ends any program (a run ended
// after its output is complete is simply run again). Where a handler cleans up, it then
// ends the run by the signal itself, so that a shell's loop stops too; "exit 0" ends a run
// that has replaced its input with success, as converting it twice would be wrong. A signal
// the caller ignores stays ignored. The moves between states, and the creating, naming and
// replacing of files, are done with interrupts held, so that the handler always finds the
// state the files are in.
//
// An existing file is emptied and written in place (`emptied`) only where no new file can
// take its place: the folder can't be written, or a new file can't show the owner, group,
// permissions or access list the old one has. That needs trust in the file system's
// identities, which decide that the file is not the input: see trusted().
#include "output.hpp"

namespace zeilfuge {

namespace {

enum class Cleanup { none, remove_new_file, empty_file, exit_success };

Cleanup cleanup_of(const Output& output) {
    const bool complete = output.state == OutputState::complete;
    switch (output.kind) {
        case OutputKind::replacement:
            if (complete) return output.in_place ? Cleanup::exit_success : Cleanup::none;
            return output.temporary.name.empty() ? Cleanup::none : Cleanup::remove_new_file;
        case OutputKind::emptied:
            return complete ? Cleanup::none : Cleanup::empty_file;
        default:
            return Cleanup::none;
    }
}

// Arms the interrupt handler with the output's cleanup.
void arm(const Output& output) {
    switch (cleanup_of(output)) {
        case Cleanup::none:
            forget_on_interrupt();
            return;
        case Cleanup::remove_new_file:
            discard_on_interrupt(output.temporary, output.file, output.identity);
            return;
        case Cleanup::empty_file:
            discard_on_interrupt(Place{}, output.file, output.identity);
            return;
        case Cleanup::exit_success:
            // Run again, in place it would convert twice.
            forget_on_interrupt();
            complete_on_interrupt();
            return;
    }
}

void move_to(Output& output, OutputState state) {
    output.state = state;
    arm(output);
}

// False, with the error code of the call that just failed kept for the error line.
bool failed(Output& output) {
    if (output.error == 0) output.error = last_error();
    return false;
}

Outcome failed(Output& output, Outcome outcome) {
    failed(output);
    return outcome;
}

// File systems whose identities (device and file number) are one per file, so that two
// different ones mean two files. FUSE, overlay and network file systems may show one file
// under two identities (a name in other letter case, a hard link, a second view), and so
// may one not known.
bool trusted(FileSystemKind kind) {
    switch (kind) {
        case FileSystemKind::ext:
        case FileSystemKind::xfs:
        case FileSystemKind::btrfs:
        case FileSystemKind::tmpfs:
        case FileSystemKind::ramfs:
        case FileSystemKind::f2fs:
        case FileSystemKind::zfs:
        case FileSystemKind::ntfs:
        case FileSystemKind::refs:
            return true;
        default:
            return false;
    }
}

// The standard stream (1 or 2) that already writes the file, or -1: replaced, it would
// lose what was written before, the banner or a log appended to.
int standard_writing(const FileIdentity& output_id) {
    for (int number = 1; number <= 2; ++number) {
        FileIdentity standard;
        if (!standard_closed(number) && identify(standard_file(number), standard) &&
            same_file(standard, output_id)) {
            return number;
        }
    }
    return -1;
}

void written_through(Output& output, File file, const FileIdentity& identity, OutputKind kind) {
    output.kind = kind;
    output.file = file;
    output.identity = identity;
    move_to(output, OutputState::opened);
}

// Where no new file can take the existing file's place: the file itself emptied and
// written, once its name is known to hold it still and it is known not to be the input.
bool empty_in_place(const Input& input, const FileIdentity& input_id, Output& output) {
    const bool input_trusted =
        input_id.kind != FileKind::regular || trusted(file_system_of(input.file));
    if (!input_trusted || !trusted(file_system_of(output.target_file))) return false;
    File file;
    FileIdentity id;
    if (!open_for_writing(output.target, file)) return failed(output);
    // The same file number on another volume counts as the input too: Wine shows one file
    // through two drive mappings with two volume serial numbers.
    const auto input_number = [&] {
        return id.index == input_id.index && id.index_high == input_id.index_high;
    };
    if (!identify(file, id) || !same_file(id, output.target_identity) || input_number() ||
        !truncate_file(file)) {
        failed(output);
        close_file(file);
        return false;
    }
    written_through(output, file, id, OutputKind::emptied);
    return true;
}

// The new file beside the output's name, with what the file there has: its owner, group,
// permissions and access list (in place, the input's). Where they can't be given, an
// existing output is emptied instead, if that is safe; in place, the run is refused rather
// than widen or narrow who may read the file.
bool make_replacement(const Input& input, const FileIdentity& input_id, Output& output) {
    output.kind = OutputKind::replacement;
    const File model = output.in_place ? input.file : output.target_file;
    const bool exists = output.target_exists;
    const unsigned mode = exists ? creation_mode(model) : 0666;
    if (exists) output.target_system = file_system_of(output.target_file);
    // The old output's pages in memory are of no more use, and the new file's pages take
    // their place: memory that a virtual machine's host has taken back costs a fault a page
    // to have again.
    if (exists && !output.in_place) forget_cached(output.target_file);
    File file;
    Creation made = create_unnamed(output.target, mode, exists, file);
    if (made == Creation::unsupported) {
        made = create_beside(output.target, mode, exists, file, output.temporary)
                   ? Creation::made
                   : Creation::failed;
    }
    if (made == Creation::failed) {
        failed(output);
        // No new file beside it: a folder the user may not write.
        return access_denied(output.error) && exists && !output.in_place &&
               empty_in_place(input, input_id, output);
    }
    output.file = file;
    // Removed again, where it turns out that it can't serve.
    const auto drop = [&] {
        discard_file(output.temporary, output.file, output.identity);
        close_file(output.file);
        output.temporary = Place{};
        output.state = OutputState::closed;
        forget_on_interrupt();
    };
    if (!identify(file, output.identity)) {
        failed(output);
        drop();
        return false;
    }
    move_to(output, OutputState::opened);
    if (!exists) return true;
    const MetadataFailure kept = copy_metadata(model, output.file, false);
    if (kept.part == MetadataPart::none) return true;
    output.error = kept.error;
    drop();
    // The new file can't show what the old one has (another user's file in a shared folder).
    if (kept.part == MetadataPart::source || output.in_place) return false;
    return empty_in_place(input, input_id, output);
}

// Decides what becomes of the output, found by name, or (borrowed) a descriptor the caller
// gave the run.
bool decide(const std::string& name, const Input& input, bool borrowed, File given,
            Output& output) {
    FileIdentity input_id;
    // Compared before anything is opened for writing: a comparison that can't be made is a
    // failure, never taken as "different".
    if (!identify(input.file, input_id)) return failed(output);
    FileIdentity found_id;
    if (borrowed) {
        if (!identify(given, found_id)) return failed(output);
    } else {
        if (!find_output(name, output.target, output.target_file, found_id)) return failed(output);
        output.target_exists = output.target_file.handle != File{}.handle;
        output.target_identity = found_id;
        if (!output.target_exists) return make_replacement(input, input_id, output);
    }
    if (same_file(input_id, found_id)) {
        if (found_id.kind == FileKind::regular) {
            // In place, through a descriptor's name too: the name it was opened by is found.
            if (borrowed) {
                if (!find_output(name, output.target, output.target_file, output.target_identity) ||
                    output.target_file.handle == File{}.handle ||
                    !same_file(output.target_identity, input_id)) {
                    return failed(output);
                }
                output.target_exists = true;
            }
            // Standard input read from somewhere past its start would replace the file with
            // only a part of it.
            if (input.borrowed && !reads_from_start(input.file)) return false;
            output.target_identity = input_id;
            output.in_place = true;
            // A file the user may not write is refused in place as it is as an output.
            if (!may_write(output.target, output.target_file)) return failed(output);
            return make_replacement(input, input_id, output);
        }
        // Written while read, a disk or a FIFO would lose what wasn't read yet; a terminal
        // reads and writes apart.
        if (found_id.kind != FileKind::character_device) return false;
    } else if (!borrowed && same_place(name, input.name)) {
        // Asked to convert in place, however spelled, but the name holds another file than
        // it did a moment ago: another program's, saved meanwhile, is not to be overwritten.
        return false;
    }
    if (borrowed) {
        written_through(output, given, found_id, OutputKind::stream);
        return true;
    }
    if (found_id.kind == FileKind::directory) return false;
    const int standard = standard_writing(found_id);
    if (standard >= 0) {
        written_through(output, standard_file(standard), found_id, OutputKind::stream);
        return true;
    }
    if (found_id.kind == FileKind::regular) {
        // Replaced, not written, it is still the user's to write or leave.
        if (!may_write(output.target, output.target_file)) return failed(output);
        // Held open by a program that keeps its name (a log viewer on Windows): written as
        // `copy /y` writes it, where that is safe.
        if (!replaceable(output.target)) return empty_in_place(input, input_id, output);
        return make_replacement(input, input_id, output);
    }
    File file;
    FileIdentity id;
    if (!open_for_writing(output.target, file)) return failed(output);
    // Swapped for another file since it was found, it must at least be of the same kind, so
    // no regular file (the input, say): a device or FIFO has no identity of its own on
    // Windows.
    if (!identify(file, id) || id.kind != found_id.kind || !make_blocking(file)) {
        failed(output);
        close_file(file);
        return false;
    }
    written_through(output, file, id, OutputKind::device);
    return true;
}

bool open_and_decide(const std::string& name, const Input& input, Output& output) {
    // A descriptor named as such (standard output or error, or one the caller opened, as
    // with `3>>log`) is written through, even where its name can't be opened again (another
    // user's pipe, a socket). One the caller didn't give the run, closed at the start or
    // the run's own input, is no file.
    const int number = descriptor_number(name);
    if (number >= 0 &&
        (!descriptor_given(number) || (!input.borrowed && number == input.file.handle))) {
        return false;
    }
    if (number >= 1) return decide(name, input, true, standard_file(number), output);
    return decide(name, input, false, File{}, output);
}

// Gives the complete new file the output's name.
Outcome put_in_place(Output& output) {
    if (!output.target_exists) {
        if (output.temporary.name.empty()) {
            // Named only where no other file took the name meanwhile.
            if (!give_name(output.file, output.target))
                return failed(output, Outcome::replace_failed);
            // Named, it is now removed while its name holds it, should the close fail.
            output.temporary = output.target;
            arm(output);
            if (!close_file(output.file)) return failed(output, Outcome::write_failed);
        } else {
            if (!close_file(output.file)) return failed(output, Outcome::write_failed);
            arm(output);
            if (!rename_new(output.temporary, output.target)) {
                return failed(output, Outcome::replace_failed);
            }
        }
        move_to(output, OutputState::complete);
        return Outcome::converted;
    }
    // An exchange needs two names.
    if (output.temporary.name.empty()) {
        if (!name_beside(output.file, output.target, output.temporary)) {
            return failed(output, Outcome::replace_failed);
        }
        arm(output);
    }
    // Closed before the replace, which Windows refuses for a file still open; from here on
    // the file is found by its name, and removed only while the name holds it.
    if (!close_file(output.file)) return failed(output, Outcome::write_failed);
    arm(output);
    // An exchange moves the old file to the temporary name, which on overlayfs copies the
    // whole of it from the lower layer first: there the name is checked, then renamed over.
    const bool exchange = output.target_system != FileSystemKind::overlay;
    if (!replace_file(output.temporary, output.target, output.target_identity, output.identity,
                      exchange)) {
        return failed(output, Outcome::replace_failed);
    }
    move_to(output, OutputState::complete);
    return Outcome::converted;
}

}  // namespace

bool open_input_file(const std::string& name, Input& input) {
    // Standard input, or another descriptor the caller opened, is read through it from where
    // it stands, only where the name denotes it; any other name is opened as a file of its
    // own and read from its start.
    input.name = name;
    const int number = descriptor_number(name);
    if (number >= 0 && !descriptor_given(number)) return false;
    if (number == 0 || number >= 3) {
        input.file = standard_file(number);
        input.borrowed = true;
        return true;
    }
    return open_input(name, input.file);
}

void close_input_file(Input& input) {
    if (!input.borrowed) close_file(input.file);
    input.file = File{};
}

bool open_output(const std::string& name, const Input& input, Output& output) {
    hold_interrupts();
    const bool opened = open_and_decide(name, input, output);
    release_interrupts();
    return opened;
}

Outcome finish_output(Output& output, Input& input) {
    const bool replacing = output.kind == OutputKind::replacement && output.target_exists;
    // In place, the input must be as it was when the run began, and it must stay so up to
    // the replace: what another program wrote to it meanwhile is not to be lost.
    FileIdentity read;
    if (output.in_place &&
        (!identify(input.file, read) || !unchanged(read, output.target_identity))) {
        close_input_file(input);
        return Outcome::replace_failed;
    }
    // What the old file had is given to the new one again once all of it is written: a
    // write by a user without the right to keep them clears the set-ID bits and the file
    // capabilities.
    const File model = output.in_place ? input.file : output.target_file;
    const MetadataFailure kept =
        replacing ? copy_metadata(model, output.file, true) : MetadataFailure{};
    if (kept.part != MetadataPart::none) output.error = kept.error;
    // Only a run in place flushes: its input is gone once replaced.
    const bool flushed = !output.in_place || kept.part != MetadataPart::none ||
                         flush_to_disk(output.file) || failed(output);
    // The input and the old file are closed before the replace: Windows refuses to replace
    // a file still open.
    close_input_file(input);
    close_file(output.target_file);
    if (kept.part != MetadataPart::none) return Outcome::replace_failed;
    if (!flushed) return Outcome::write_failed;
    hold_interrupts();
    output.state = OutputState::written;
    Outcome outcome = Outcome::converted;
    switch (output.kind) {
        case OutputKind::stream:
            output.file = File{};  // the caller's, left open
            move_to(output, OutputState::complete);
            break;
        case OutputKind::device:
            if (!close_file(output.file)) {
                outcome = Outcome::write_failed;
                failed(output);
                break;
            }
            move_to(output, OutputState::complete);
            break;
        case OutputKind::replacement:
            outcome = put_in_place(output);
            break;
        case OutputKind::emptied: {
            // The close reports what the write-back found (a network file system): a second
            // descriptor still empties the file then.
            File spare = duplicate_file(output.file);
            if (!close_file(output.file)) {
                failed(output);
                output.file = spare;
                arm(output);
                outcome = Outcome::write_failed;
                break;
            }
            close_file(spare);
            move_to(output, OutputState::complete);
            break;
        }
    }
    release_interrupts();
    // Durable before exit 0: the name that now holds the result, not only its data.
    if (output.in_place && output.state == OutputState::complete) flush_folder(output.target);
    return outcome;
}

void discard_output(Output& output) {
    hold_interrupts();
    // A result already in place stays; only what is still being made is discarded.
    if (output.state == OutputState::opened || output.state == OutputState::written) {
        switch (cleanup_of(output)) {
            case Cleanup::remove_new_file:
                discard_file(output.temporary, output.file, output.identity);
                break;
            case Cleanup::empty_file:
                discard_file(Place{}, output.file, output.identity);
                break;
            default:
                break;
        }
        output.state = OutputState::discarded;
    }
    forget_on_interrupt();
    release_interrupts();
    if (output.kind != OutputKind::stream) close_file(output.file);
    output.file = File{};
    close_file(output.target_file);
}

}  // namespace zeilfuge
