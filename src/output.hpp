// The life of the files a run touches: the input opened, the output opened without
// truncating it and compared with the input, then written, and put in place or discarded.
// Every promise about files is kept here; output.cpp draws the output's life.
#pragma once

#include <string>

#include "platform.hpp"

namespace zeilfuge {

enum class Outcome { converted, read_failed, write_failed, replace_failed };

struct Input {
    std::string name;
    File file;
    bool borrowed = false;  // standard input itself, read from where it stands and left open
};

// What the output is, which decides how it is put in place and cleaned up.
enum class OutputKind {
    stream,         // standard output or standard error itself: written in order, never cut
    device,         // a terminal, a FIFO, a disk: written as it is
    new_file,       // made by this run, with no name or under its own
    existing_file,  // a regular file that was there: emptied, then written
    in_place,       // the input itself: a new file beside it takes its place
};

enum class OutputState { closed, opened, written, complete, replaced, discarded };

struct Output {
    OutputKind kind = OutputKind::device;
    OutputState state = OutputState::closed;
    File file;              // what the conversion writes to
    Place place;            // its name, where it has one that the run may remove
    FileIdentity identity;  // of that file
    bool unnamed = false;   // a new file that gets its name (place) only when complete
    Place target;           // in place: the input's place, which the result takes
    FileIdentity target_identity;
};

// Opens the input; false when it can't be read (missing, unreadable, a directory, a closed
// standard input).
bool open_input_file(const std::string& name, Input& input);
void close_input_file(Input& input);

// Opens the output for the input; false when it can't be written. Call discard_output then.
bool open_output(const std::string& name, const Input& input, Output& output);

// Puts the written output in place once all of it is written: closes the input, then the
// output or, in place, replaces the input with it. Returns converted, or what failed.
Outcome finish_output(Output& output, Input& input);

// Removes or empties what a failed run wrote, and closes it. Any state may be discarded.
void discard_output(Output& output);

}  // namespace zeilfuge
