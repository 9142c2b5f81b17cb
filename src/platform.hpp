// The few operating system services the tool needs, as primitives on descriptors and
// handles that report what happened and decide nothing; the policy is in output.cpp. The
// POSIX part is split by job: platform_posix.cpp (files and descriptors),
// platform_posix_names.cpp (names walked through folder descriptors) and
// platform_posix_signals.cpp (the interrupt handler); the Windows part likewise:
// platform_windows.cpp (files and names), platform_windows_console.cpp (the console and
// its events) and platform_windows_interrupts.cpp (what an event does to the output).
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
    // What a regular file holds, as far as its size and the time of its last write tell:
    // not part of which file it is.
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // the last write, in nanoseconds (Windows: 100 ns)
    // The last change of data or attributes (Windows' ChangeTime, in 100 ns), which a
    // program that sets the write time back can't hide; 0 where not used (POSIX).
    std::int64_t changed = 0;
};

inline bool same_file(const FileIdentity& a, const FileIdentity& b) {
    return a.kind == b.kind && a.device == b.device && a.index == b.index &&
           a.index_high == b.index_high;
}

// The same file, not written to since `b` was taken.
inline bool unchanged(const FileIdentity& a, const FileIdentity& b) {
    return same_file(a, b) && a.size == b.size && a.modified == b.modified &&
           a.changed == b.changed;
}

// Opens any of the standard streams that is closed on the null device, so that no file the
// tool opens can take its number, and remembers which were closed; sets up the console.
// Installs no interrupt handler: discard_on_interrupt and complete_on_interrupt do, once a
// run has something to clean up or has completed.
void prepare_process();

// A region of `size` bytes of zeroed memory, a power of two, aligned to its size where the
// system lets it be and advised for huge pages where it has them; nullptr when there is no
// memory to have. Nothing of it is touched yet.
std::byte* map_region(std::size_t size);
void unmap_region(std::byte* region, std::size_t size);

// The standard stream number 0, 1 or 2 (on POSIX any descriptor number), and whether it was
// closed (Windows: missing) when the run started.
File standard_file(int number);
bool standard_closed(int number);

// The descriptor that the name denotes on this system, or -1: /dev/stdin, /dev/stdout and
// /dev/stderr for 0 to 2, /dev/fd/N and /proc/self/fd/N for any N. Windows has no such names.
int descriptor_number(const std::string& name);

// Whether the caller gave the run that descriptor: a standard stream not closed at the start,
// or any other descriptor open now.
bool descriptor_given(int number);

// Whether two names reach the same name in the same folder, however they are spelled
// (`in`, `./in`, a full name, a link to it), whichever file that name holds now. Where a
// name can't be walked, only the same spelling counts.
bool same_place(const std::string& a, const std::string& b);

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

// The kinds of file system a file can be on, as far as the platform tells them apart.
enum class FileSystemKind {
    ext,  // ext2, ext3, ext4
    xfs,
    btrfs,
    tmpfs,
    ramfs,
    f2fs,
    zfs,
    ntfs,
    refs,
    fuse,
    overlay,
    network,
    other,
};

// The kind of file system the file is on; `other` where it can't be told.
FileSystemKind file_system_of(File file);

// The error code of the last call that failed (errno, or GetLastError on Windows), and
// whether such a code means that the rights don't allow the call.
int last_error();
bool access_denied(int error);

// Finds where name leads, following every link: the folder and the name in it (`place`).
// Where a file is there, opens it without write access, so that nothing is copied or
// changed by opening it: a regular file for reading its metadata where the rights allow,
// anything else only to tell what it is. `file` is then valid and `identity` is the file's.
// False when the name can't be walked (a folder missing, a link loop).
bool find_output(const std::string& name, Place& place, File& file, FileIdentity& identity);

// Whether the rights allow the file at place to be written: the file itself is not opened
// (`file` is what find_output opened there).
bool may_write(const Place& place, File file);

// Whether the file at place can be replaced by another now: false where another program
// holds it open so that its name can't go (Windows: without FILE_SHARE_DELETE).
bool replaceable(const Place& place);

// Opens the file at place for writing, never creating or truncating it, nor following a
// link. Called with interrupts held; it lets them in only while it waits for a FIFO's
// reader, where it creates nothing.
bool open_for_writing(const Place& place, File& file);

// The permission bits a new file that is to take the place of `file` is made with: its own,
// or only the owner's where an access list says more than the bits.
unsigned creation_mode(File file);

// Tells the system that what it holds of the file in memory won't be read again: the old
// output that a new file replaces, whose pages the new one may take.
void forget_cached(File file);

// Makes a new, empty file for writing in the folder of `beside`: create_unnamed without a
// name (`unsupported` where the file system has no such files), create_beside as a
// `.zeilfuge-` file there. With `exact`, its permission bits are `mode` as given; else
// `mode` less the process's mask.
enum class Creation { made, unsupported, failed };
Creation create_unnamed(const Place& beside, unsigned mode, bool exact, File& file);
bool create_beside(const Place& beside, unsigned mode, bool exact, File& file, Place& temporary);

// Gives a file made without a name its name; fails (EEXIST) where the name is taken by now.
bool give_name(File file, const Place& place);

// Gives a file made without a name a `.zeilfuge-` name beside `beside`.
bool name_beside(File file, const Place& beside, Place& temporary);

// Moves the file at `from` to the name `to`, but only where no file has that name: at once
// where the file system can, else after a check of the name.
bool rename_new(const Place& from, const Place& to);

// Writes to a file opened without waiting (a FIFO, a terminal) wait again when it can't take
// them yet, rather than fail. Only for a file the tool opened itself: the flags of a
// standard stream belong to the caller too.
bool make_blocking(File file);

bool identify(File file, FileIdentity& identity);

bool truncate_file(File file);

// The part of the metadata that copy_metadata could not give, and why.
enum class MetadataPart { none, source, owner, access_list, permissions };
struct MetadataFailure {
    MetadataPart part = MetadataPart::none;
    int error = 0;
};

// Gives `to` the owner, group, permission bits and access list of `from`, and the other
// attributes that the rights allow, each only where `to` doesn't show it already; reports
// the first of the four that `to` doesn't show in the end. With `final`, also the attributes
// that would get in the way of writing (a file system's own DOS attributes).
MetadataFailure copy_metadata(File from, File to, bool final);

// Reads up to buffer.size() bytes; 0 at the end of the input, -1 on a read error. A
// descriptor that doesn't wait (the caller's, shared) is waited on with poll.
std::ptrdiff_t read_some(File file, std::span<std::byte> buffer);

bool write_all(File file, std::span<const std::byte> bytes);

// Makes the written data durable, so that putting the file in place after it can't leave
// an empty file behind on a power loss.
bool flush_to_disk(File file);

// Makes the names in the place's folder durable (a replace done in it).
bool flush_folder(const Place& place);

// A second descriptor or handle for the same open file; an invalid File where there is none.
File duplicate_file(File file);

// Closes the file; false when the data could not be written out.
bool close_file(File& file);

// Puts the file at temporary in the place of target, but only if target names the file
// `expected`, unchanged, when it is replaced. With `exchange`, where the system can exchange
// two names at once, they are exchanged and what came out is checked, and exchanged back if
// it isn't `expected`; elsewhere target is checked just before the rename. `result` is the
// file at temporary.
bool replace_file(const Place& temporary, const Place& target, const FileIdentity& expected,
                  const FileIdentity& result, bool exchange);

// Where a replace_file that failed left the result as the only copy of it under its
// temporary name, with no file the run can vouch for under the target's (Windows, when the
// target's name was taken meanwhile): that name, which no cleanup removes. Else false.
bool left_aside(Place& result);

// Removes the file while place still names it (the file of that identity); where it can't,
// truncates it to length 0 through its descriptor, if still open, so that nothing
// half-written looks finished. Without a place it only truncates.
void discard_file(const Place& place, File file, const FileIdentity& identity);

// What an interrupt does before it ends the run: discard the file as discard_file does,
// nothing, or, once the run has completed, end it with exit code 0 (and let a reader of
// standard output that has gone end it no more). Set while interrupts are held; the first
// that needs a handler installs it, for every signal that ends a process and that the
// caller doesn't ignore. After its cleanup the handler ends the run by the signal itself.
void discard_on_interrupt(const Place& place, File file, const FileIdentity& identity);
void forget_on_interrupt();
void complete_on_interrupt();

// Between these two an interrupt waits, so that a file is never created or replaced without
// the interrupt handler knowing what to do with it. The caller's signal mask is restored.
void hold_interrupts();
void release_interrupts();

}  // namespace zeilfuge
