// What the three Windows platform files share: handles carried as a File, and the removal
// of a file being written, which both a failed run and a console event use.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform.hpp"

namespace zeilfuge::windows {

inline HANDLE handle_of(File file) {
    return reinterpret_cast<HANDLE>(file.handle);
}

inline File file_of(HANDLE handle) {
    return File{reinterpret_cast<std::intptr_t>(handle)};
}

// Removes or empties the file being written, as discard_file promises (platform_windows.cpp).
void discard(const Place& place, HANDLE file, const FileIdentity& identity);

// Makes the lock that keeps a console event out while files are created, replaced or
// removed (platform_windows_interrupts.cpp); called once, before the handler is installed.
void prepare_interrupts();

// Cleans up as the armed action says and ends the process with code; never returns
// (platform_windows_interrupts.cpp).
[[noreturn]] void end_by_event(UINT code);

}  // namespace zeilfuge::windows
