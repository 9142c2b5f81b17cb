// The few operating system services the tool needs, as primitives on descriptors and
// handles with no policy of their own; the policy is in output.cpp. The POSIX and Windows
// parts are in platform_posix.cpp and platform_windows.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace zeilfuge {

struct File {
    std::intptr_t handle = -1;  // a descriptor, or a Windows handle
};

// Where a file is reached by name: the folder, held open, and the name in it, with no
// link left to follow. On Windows the folder is unused and the name is the full name.
struct Place {
    std::intptr_t folder = -1;
    std::string name;
};

enum class FileKind { regular, character_device, block_device, fifo, directory, other };

struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    FileKind kind = FileKind::other;
    std::uint64_t index_high = 0;  // the upper half of a 128-bit file ID (ReFS), else 0
};

inline bool same_file(const FileIdentity& a, const FileIdentity& b) {
    return a.kind == b.kind && a.device == b.device && a.index == b.index &&
           a.index_high == b.index_high;
}

// Opens any of the standard streams that is closed on the null device, so that no file the
// tool opens can take its number; sets up the console and the interrupt handlers.
void prepare_process();

File standard_input();
File standard_output();

// Writes a console text, UTF-8 with its line ends already in place, to standard output at
// once. A console shows every name as typed; a file or a pipe gets the bytes of the
// platform's own character set, where Windows writes '?' for a character the ANSI code
// page lacks (never a look-alike, which could name another file). Failures go unreported:
// there is nowhere to report them.
void write_console(std::string_view text);

// False when the file is read from somewhere past its start.
bool reads_from_start(File file);

// Opens an existing file for reading. A directory counts as a file that can't be opened.
// Opening never waits for a FIFO's writer; await_input does, before the first read.
bool open_input(const std::string& name, File& file);
void await_input(File file);

// Opens a file for writing, creating it when it doesn't exist, never truncating it. Called
// with interrupts held, so that a file it creates is known before an interrupt comes; it
// lets them in only while it waits for a FIFO's reader, where it creates nothing.
// `created` tells whether the open made the file.
bool open_for_writing(const std::string& name, File& file, bool& created);

// Writes to a file opened without waiting (a FIFO, a terminal) wait again when it can't take
// them yet, rather than fail.
bool make_blocking(File file);

bool identify(File file, FileIdentity& identity);

// Finds the folder and the name in it through which name reaches the file, following
// symbolic links at any depth; false when name doesn't reach that very file.
bool locate(const std::string& name, File file, Place& place);

bool truncate_file(File file);

// Creates a new, empty file beside target, to take its place later.
bool create_temporary_beside(const Place& target, File& file, Place& temporary,
                             FileIdentity& identity);

// Gives `to` the owner, group, permission bits and access list of `from`, and the other
// attributes that the rights allow; false when any of the first four can't be set.
bool copy_metadata(File from, File to);

// Reads up to buffer.size() bytes; 0 at the end of the input, -1 on a read error.
std::ptrdiff_t read_some(File file, std::span<std::byte> buffer);

bool write_all(File file, std::span<const std::byte> bytes);

// Makes the written data durable, so that putting the file in place after it can't leave
// an empty file behind on a power loss.
bool flush_to_disk(File file);

// Closes the file; false when the data could not be written out.
bool close_file(File& file);

// Puts the file at temporary in the place of target, but only while target still names
// the file `expected`.
bool replace_file(const Place& temporary, const Place& target, const FileIdentity& expected);

// Removes the file while place still names it (the file of that identity); where it can't,
// truncates it to length 0 through its descriptor, if still open, so that nothing
// half-written looks finished. Without a place it only truncates.
void discard_file(const Place& place, File file, const FileIdentity& identity);

// What an interrupt does to the file being written: discard it as discard_file does, or
// nothing. Set while interrupts are held.
void discard_on_interrupt(const Place& place, File file, const FileIdentity& identity);
void forget_on_interrupt();

// From here on the run has completed: an interrupt ends it with exit code 0, and a reader
// of standard output that has gone ends it no more.
void complete_on_interrupt();

// Between these two an interrupt waits, so that a file is never created or replaced without
// the interrupt handler knowing what to do with it.
void hold_interrupts();
void release_interrupts();

}  // namespace zeilfuge
