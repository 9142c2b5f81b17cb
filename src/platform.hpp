// The few operating system services the tool needs, with the POSIX and Windows parts in
// platform_posix.cpp and platform_windows.cpp.
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

// The handlers that clean up after an interrupt.
void prepare_process();

// Writes a console text, UTF-8 with its line ends already in place, to standard output at
// once. A console shows every name as typed; a file or a pipe gets the bytes of the
// platform's own character set, where Windows writes '?' for a character the ANSI code
// page lacks (never a look-alike, which could name another file). Failures go unreported:
// there is nowhere to report them.
void write_console(std::string_view text);

// Opens an existing file for reading. A directory counts as a file that can't be opened.
bool open_input(const std::string& name, File& file);

// Creates or truncates a file for writing.
bool create_output(const std::string& name, File& file);

// True when the name is the input file itself, spelled in any way. Only regular files
// count: a device or a pipe can't be truncated under the input's feet.
bool is_input_file(File input, const std::string& name);

// The name of the file itself when name is a symbolic link, else name.
std::string resolve_link(const std::string& name);

// Creates a new, empty file in the folder of target, to be renamed over it later.
bool create_temporary_beside(const std::string& target, File& file, std::string& temporary_name);

// Gives the file the permission bits of another; best effort.
void copy_permissions(File from, File to);

bool is_regular_file(File file);

// Reads up to buffer.size() bytes; 0 at the end of the input, -1 on a read error.
std::ptrdiff_t read_some(File file, std::span<std::byte> buffer);

bool write_all(File file, std::span<const std::byte> bytes);

// Makes the written data durable, so that a rename after it can't leave an empty file
// behind on a power loss.
bool flush_to_disk(File file);

// Closes the file; false when the data could not be written out.
bool close_file(File& file);

// Renames source over target, replacing it. Both files must be closed.
bool replace_file(const std::string& source, const std::string& target);

void remove_file(const std::string& name);

// The file that an interrupt removes before the process ends; empty for none.
void remove_on_interrupt(const std::string& name);

// Between these two an interrupt waits, so that a file is never created or replaced without
// the interrupt knowing whether to remove it.
void hold_interrupts();
void release_interrupts();

}  // namespace zeilfuge
