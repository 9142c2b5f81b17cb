// The life of the files a run touches: the input opened, the output opened without
// truncating it and compared with the input, then truncated, or, when it is the input,
// replaced at the end by a new file that keeps what the old one had; removed or emptied
// when the run fails. Every promise about files is kept here.
#pragma once

#include <string>

#include "platform.hpp"

namespace zeilfuge {

enum class Outcome { converted, read_failed, write_failed, replace_failed };

struct Input {
    File file;
    bool borrowed = false;  // standard input itself, read from where it stands and left open
};

struct Output {
    File file;              // what the conversion writes to
    Place place;            // where that file is, when it is a regular file found by name
    FileIdentity identity;  // of that file
    bool discard = false;   // a regular file of this run's: removed or emptied if it fails
    bool borrowed = false;  // standard output itself: written in order, never closed or cut
    Place target;           // in a run in place: the input's place, which the result takes
    FileIdentity target_identity;
};

// Opens the input; false when it can't be read (missing, unreadable, a directory).
bool open_input_file(const std::string& name, Input& input);
void close_input_file(Input& input);

// Opens the output for the input; false when it can't be written. Call discard_output then.
bool open_output(const std::string& name, const Input& input, Output& output);

// Puts the written output in place once all of it is written: closes the input, then the
// output or, in place, replaces the input with it. Returns converted, or what failed.
Outcome finish_output(Output& output, Input& input);

// Removes or empties what a failed run wrote, and closes it.
void discard_output(Output& output);

}  // namespace zeilfuge
