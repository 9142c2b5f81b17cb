// The output's life, one state machine for every kind of output. Each state says what an
// interrupt (a signal, Ctrl-C) does to the output before it ends the run:
//
//                open_output          finish_output            finish_output
//   closed ───────────────► opened ─────────────► written ──────────────────► complete
//                             │    all of it written,  │    put in place:      or replaced
//                             │    kept, flushed       │    named, closed,     (in place)
//                             │                        │    replaced
//                             └──────────┬─────────────┘
//                                        ▼ a failure, or bad_alloc: discard_output
//                                    discarded
//
//   kind            opened, written                       complete, replaced
//   stream          nothing (standard output or error     nothing
//                   itself: never cut, never closed)
//   device          nothing (a terminal, a FIFO, a disk)  nothing
//   new_file        nothing while it has no name          nothing
//                   (O_TMPFILE: it goes with the run);
//                   else remove it while its name still
//                   holds it
//   existing_file   empty it through its descriptor,      nothing
//                   never remove it by name
//   in_place        remove the new file beside the input  exit 0 (replaced)
//                   while its name still holds it
//
// "nothing" needs no handler: the signal ends the run as it ends any program (a run ended
// after its output is complete is simply run again). Where a handler cleans up, it then
// ends the run by the signal itself, so that a shell's loop stops too; "exit 0" ends a run
// that has replaced its input with success, as converting it twice would be wrong.
// A signal the caller ignores stays ignored. The moves between states, and the creating,
// naming and replacing of files, are done with interrupts held, so that the handler always
// finds the state the files are in. Discarded, a new file with no name needs nothing; one
// with a name, and the new file beside the input, are removed only while their names still
// hold them; an existing file is only emptied: no file the run didn't write is replaced or
// removed.
#include "output.hpp"

namespace zeilfuge {

namespace {

bool is_file(OutputKind kind) {
    return kind == OutputKind::new_file || kind == OutputKind::existing_file ||
           kind == OutputKind::in_place;
}

// The action armed for the output's kind and state, as drawn above.
void arm(const Output& output) {
    const bool done =
        output.state == OutputState::complete || output.state == OutputState::replaced;
    if (!is_file(output.kind)) return;
    if (done) {
        // Run again, a plain run gives the same output; in place, it would convert twice.
        forget_on_interrupt();
        if (output.kind == OutputKind::in_place) complete_on_interrupt();
        return;
    }
    switch (output.kind) {
        case OutputKind::new_file:
            if (!output.unnamed) discard_on_interrupt(output.place, output.file, output.identity);
            return;
        case OutputKind::existing_file:
            discard_on_interrupt(Place{}, output.file, output.identity);
            return;
        case OutputKind::in_place:
            discard_on_interrupt(output.place, output.file, output.identity);
            return;
        default:
            return;
    }
}

void move_to(Output& output, OutputState state) {
    output.state = state;
    arm(output);
}

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
    output.kind = OutputKind::in_place;
    move_to(output, OutputState::opened);
    return copy_metadata(input.file, output.file).part == MetadataPart::none;
}

// The standard stream (1 or 2) that already writes the file, or -1: reopened and
// truncated, it would lose what was written before, the banner or a log appended to.
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

// Decides what becomes of the opened output: `file`, opened by name or (borrowed) a
// standard stream. On failure `file` is left open for the caller, or closed where the
// decision already closed it.
bool decide(const std::string& name, const Input& input, File& file, bool borrowed, Opened how,
            const Place& place, Output& output) {
    FileIdentity input_id;
    FileIdentity output_id;
    // Opened, not truncated, and only then compared: nothing by name can be swapped in
    // between. A comparison that can't be made is a failure, never taken as "different".
    if (!identify(input.file, input_id) || !identify(file, output_id)) return false;
    if (how != Opened::existing) {
        // Made by this run: no other file, and no stream, can be it.
        output.kind = OutputKind::new_file;
        output.unnamed = how == Opened::unnamed;
        output.place = place;
        output.identity = output_id;
        output.file = file;
        file = File{};
        move_to(output, OutputState::opened);
        return make_blocking(output.file);
    }
    if (same_file(input_id, output_id)) {
        if (output_id.kind == FileKind::regular) {
            if (!borrowed) close_file(file);
            file = File{};
            return replace_later(name, input, input_id, output);
        }
        // Written while read, a disk or a FIFO would lose what wasn't read yet; a terminal
        // reads and writes apart.
        if (output_id.kind != FileKind::character_device) return false;
    } else if (same_place(name, input.name)) {
        // Asked to convert in place, however spelled, but the name holds another file than
        // it did a moment ago: another program's, saved meanwhile, is not to be overwritten.
        return false;
    }
    const int standard = borrowed ? -1 : standard_writing(output_id);
    if (borrowed || standard >= 0) {
        if (!borrowed) close_file(file);
        output.file = borrowed ? file : standard_file(standard);
        file = File{};
        output.kind = OutputKind::stream;
        output.identity = output_id;
        move_to(output, OutputState::opened);
        return true;
    }
    if (!make_blocking(file)) return false;
    if (output_id.kind == FileKind::regular && !truncate_file(file)) return false;
    output.file = file;
    output.identity = output_id;
    file = File{};
    output.kind =
        output_id.kind == FileKind::regular ? OutputKind::existing_file : OutputKind::device;
    move_to(output, OutputState::opened);
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
    if (number >= 1) {
        File file = standard_file(number);
        return decide(name, input, file, true, Opened::existing, Place{}, output);
    }
    File file;
    Opened how = Opened::existing;
    Place place;
    if (!open_for_writing(name, file, how, place)) return false;
    if (decide(name, input, file, false, how, place, output)) return true;
    // A failed run leaves no file behind that it made itself: one with no name goes when
    // closed, one with a name is removed while the name still holds it.
    FileIdentity made;
    if (how == Opened::created && identify(file, made)) discard_file(place, file, made);
    close_file(file);
    return false;
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
    // In place, what the input had is given to the result again once all of it is written:
    // a write by a user without the right to keep them clears the set-ID bits and the file
    // capabilities.
    const bool in_place = output.kind == OutputKind::in_place;
    // In place, the input must be as it was when the run began, and it must stay so up to
    // the replace: what another program wrote to it meanwhile is not to be lost.
    FileIdentity read;
    if (in_place && (!identify(input.file, read) || !unchanged(read, output.target_identity))) {
        close_input_file(input);
        return Outcome::replace_failed;
    }
    const bool kept =
        !in_place || copy_metadata(input.file, output.file).part == MetadataPart::none;
    const bool flushed = !in_place || !kept || flush_to_disk(output.file);
    // The input is closed before the output, and before it is replaced: Windows refuses to
    // replace a file still open.
    close_input_file(input);
    if (!kept) return Outcome::replace_failed;
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
            if (!close_file(output.file)) outcome = Outcome::write_failed;
            if (outcome == Outcome::converted) move_to(output, OutputState::complete);
            break;
        case OutputKind::new_file:
            // Named only now that all of it is there, and only where no other file took the
            // name meanwhile.
            if (output.unnamed && !give_name(output.file, output.place)) {
                outcome = Outcome::replace_failed;
                break;
            }
            // Named, it is now removed while its name holds it, should the close fail.
            output.unnamed = false;
            arm(output);
            if (!close_file(output.file)) {
                outcome = Outcome::write_failed;
                break;
            }
            move_to(output, OutputState::complete);
            break;
        case OutputKind::existing_file: {
            // The close reports what the write-back found (a network file system): a second
            // descriptor still empties the file then.
            File spare = duplicate_file(output.file);
            if (!close_file(output.file)) {
                output.file = spare;
                arm(output);
                outcome = Outcome::write_failed;
                break;
            }
            close_file(spare);
            move_to(output, OutputState::complete);
            break;
        }
        case OutputKind::in_place:
            // Closed before the replace, which Windows refuses for a file still open; from
            // here on the file is found by its name, and removed only while the name holds it.
            if (!close_file(output.file)) {
                outcome = Outcome::write_failed;
                break;
            }
            arm(output);
            if (!replace_file(output.place, output.target, output.target_identity,
                              output.identity)) {
                outcome = Outcome::replace_failed;
                break;
            }
            move_to(output, OutputState::replaced);
            break;
    }
    release_interrupts();
    // Durable before exit 0: the name that now holds the result, not only its data.
    if (output.state == OutputState::replaced) flush_folder(output.target);
    return outcome;
}

void discard_output(Output& output) {
    hold_interrupts();
    // A result already in place stays; only what is still being made is discarded.
    if (output.state == OutputState::opened || output.state == OutputState::written) {
        switch (output.kind) {
            case OutputKind::new_file:
                if (!output.unnamed) discard_file(output.place, output.file, output.identity);
                break;
            case OutputKind::existing_file:
                discard_file(Place{}, output.file, output.identity);
                break;
            case OutputKind::in_place:
                discard_file(output.place, output.file, output.identity);
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
}

}  // namespace zeilfuge
