// The life of the files a run touches: the input opened; the output found without write
// access and compared with the input and the standard streams; then a new file written
// beside it, which takes its name only when complete, or discarded.
#pragma once

#include <string>

#include "platform.hpp"
#include "transfer.hpp"

namespace zeilfuge {

struct Input {
    std::string name;
    File file;
    bool borrowed = false;  // standard input itself, read from where it stands and left open
};

// What the output is, which decides how it is put in place and cleaned up.
enum class OutputKind {
    stream,       // standard output or standard error itself: written in order, never cut
    device,       // a terminal, a FIFO, a disk: written as it is
    replacement,  // a new file beside the output's name, which it takes when complete
    emptied,      // an existing file that no new file could replace: emptied, then written
};

enum class OutputState { closed, opened, written, complete, discarded };

struct Output {
    OutputKind kind = OutputKind::device;
    OutputState state = OutputState::closed;
    File file;              // what the conversion writes to
    FileIdentity identity;  // of that file
    Place temporary;        // its own name while it has one (a `.zeilfuge-` file), else empty
    Place target;           // the output's name: where the result goes
    bool target_exists = false;
    File target_file;  // the file found there, opened without write access
    FileIdentity target_identity;
    FileSystemKind target_system = FileSystemKind::other;
    bool in_place = false;  // the file found there is the input
    int error = 0;          // the error code of the call that failed, where one did
};

// Opens the input; false when it can't be read (missing, unreadable, a directory, a closed
// standard input).
bool open_input_file(const std::string& name, Input& input);
void close_input_file(Input& input);

// Opens the output for the input; false when it can't be written. Call discard_output then.
bool open_output(const std::string& name, const Input& input, Output& output);

// Puts the written output in place once all of it is written: closes the input, then the
// output, and gives the new file the output's name. Returns converted, or what failed.
Outcome finish_output(Output& output, Input& input);

// Removes or empties what a failed run wrote, and closes it. Any state may be discarded.
void discard_output(Output& output);

}  // namespace zeilfuge
