#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform.hpp"
#include "wide_text.hpp"

// Arguments reach wmain as typed: *ins must not be expanded against the files in the folder.
extern "C" {
int _dowildcard = 0;
}

namespace zeilfuge {

namespace {

// Neither file is locked against other programs while the tool runs.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE handle_of(File file) {
    return reinterpret_cast<HANDLE>(file.handle);
}

File file_of(HANDLE handle) {
    return File{reinterpret_cast<std::intptr_t>(handle)};
}

// Names travel as UTF-8 and reach the file system as the UTF-16 that was typed, with no
// code page between. A name that can't be converted becomes the empty name, which opens
// nothing. The \\?\ prefix lifts the limit of 260 characters for long names.
std::wstring wide_name(const std::string& name) {
    std::u16string utf16;
    if (!utf16_from_utf8(name, utf16)) return {};
    std::wstring wide(utf16.begin(), utf16.end());
    if (wide.size() < MAX_PATH - 12 || wide.rfind(L"\\\\", 0) == 0) return wide;
    const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return wide;
    std::wstring full(n, L'\0');
    full.resize(GetFullPathNameW(wide.c_str(), n, full.data(), nullptr));
    return L"\\\\?\\" + full;
}

// The bytes of a text in the ANSI code page, where every character the code page lacks
// becomes '?': never a best-fit look-alike.
std::string ansi_text(const std::wstring& wide) {
    const int length = static_cast<int>(wide.size());
    const UINT page = GetACP();
    DWORD flags = WC_NO_BEST_FIT_CHARS;
    const char* fallback = "?";
    int n = WideCharToMultiByte(page, flags, wide.data(), length, nullptr, 0, fallback, nullptr);
    if (n == 0 && GetLastError() == ERROR_INVALID_FLAGS) {
        // UTF-8 and the few code pages like it hold every character; they take no flags.
        flags = 0;
        fallback = nullptr;
        n = WideCharToMultiByte(page, flags, wide.data(), length, nullptr, 0, fallback, nullptr);
    }
    std::string bytes(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(page, flags, wide.data(), length, bytes.data(), n, fallback, nullptr);
    return bytes;
}

// The file an interrupt removes, kept ready so that the handler needs no allocation.
wchar_t interrupt_victim[32768];
volatile LONG interrupt_victim_set = 0;

// The console handler runs on a thread of its own; this keeps it out while the main
// thread creates or replaces a file.
CRITICAL_SECTION interrupt_lock;

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    EnterCriticalSection(&interrupt_lock);
    // The output is open with FILE_SHARE_DELETE, so it goes when the process ends.
    if (interrupt_victim_set != 0) DeleteFileW(interrupt_victim);
    ExitProcess(event == CTRL_C_EVENT ? 130 : 149);
}

// ReadFile and WriteFile take 32-bit sizes; larger buffers go in several calls.
DWORD call_size(std::size_t size) {
    return size > 0x40000000 ? DWORD{0x40000000} : static_cast<DWORD>(size);
}

bool open_file(const std::string& name, DWORD access, DWORD disposition, DWORD flags, File& file) {
    const HANDLE handle = CreateFileW(wide_name(name).c_str(), access, kShareAll, nullptr,
                                      disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    file = file_of(handle);
    return true;
}

bool identity_of(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
    return GetFileInformationByHandle(handle, &info) != 0;
}

}  // namespace

void prepare_process() {
    InitializeCriticalSection(&interrupt_lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void write_console(std::string_view text) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
    std::u16string utf16;
    if (!utf16_from_utf8(text, utf16)) {
        write_all(file_of(out), std::as_bytes(std::span(text)));
        return;
    }
    const std::wstring wide(utf16.begin(), utf16.end());
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode) == 0) {
        // Written as they are, with no text mode that would make CR LF into CR CR LF.
        const std::string bytes = ansi_text(wide);
        write_all(file_of(out), std::as_bytes(std::span(bytes)));
        return;
    }
    for (std::size_t at = 0; at < wide.size();) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(wide.size() - at, 8192));
        if (WriteConsoleW(out, wide.data() + at, want, &n, nullptr) == 0 || n == 0) return;
        at += n;
    }
}

bool open_input(const std::string& name, File& file) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory can't be opened at all.
    return open_file(name, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, file);
}

bool create_output(const std::string& name, File& file) {
    return open_file(name, GENERIC_WRITE, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, file);
}

bool is_input_file(File input, const std::string& name) {
    BY_HANDLE_FILE_INFORMATION in{};
    if (GetFileType(handle_of(input)) != FILE_TYPE_DISK || !identity_of(handle_of(input), in)) {
        return false;
    }
    const HANDLE other = CreateFileW(wide_name(name).c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (other == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION out{};
    const bool same =
        identity_of(other, out) && in.dwVolumeSerialNumber == out.dwVolumeSerialNumber &&
        in.nFileIndexHigh == out.nFileIndexHigh && in.nFileIndexLow == out.nFileIndexLow;
    CloseHandle(other);
    return same;
}

std::string resolve_link(const std::string& name) {
    return name;
}

bool create_temporary_beside(const std::string& target, File& file, std::string& temporary_name) {
    const std::size_t cut = target.find_last_of("\\/:");
    const std::string folder = cut == std::string::npos ? std::string() : target.substr(0, cut + 1);
    for (unsigned attempt = 0; attempt < 1000; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".zeilfuge-%lu-%u",
                      static_cast<unsigned long>(GetCurrentProcessId()), attempt);
        const std::string name = folder + suffix;
        if (open_file(name, GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, file)) {
            temporary_name = name;
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

// The new file takes the folder's permissions, as a file the user creates there would.
void copy_permissions(File, File) {}

bool is_regular_file(File file) {
    return GetFileType(handle_of(file)) == FILE_TYPE_DISK;
}

std::ptrdiff_t read_some(File file, std::span<std::byte> buffer) {
    DWORD n = 0;
    const DWORD want = call_size(buffer.size());
    if (ReadFile(handle_of(file), buffer.data(), want, &n, nullptr) == 0) {
        // A pipe whose writer has gone is at its end.
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    return static_cast<std::ptrdiff_t>(n);
}

bool write_all(File file, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const DWORD want = call_size(bytes.size());
        DWORD n = 0;
        if (WriteFile(handle_of(file), bytes.data(), want, &n, nullptr) == 0 || n == 0)
            return false;
        bytes = bytes.subspan(n);
    }
    return true;
}

bool flush_to_disk(File file) {
    return FlushFileBuffers(handle_of(file)) != 0;
}

bool close_file(File& file) {
    if (file.handle == -1) return true;
    const bool closed = CloseHandle(handle_of(file)) != 0;
    file.handle = -1;
    return closed;
}

bool replace_file(const std::string& source, const std::string& target) {
    return MoveFileExW(wide_name(source).c_str(), wide_name(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void remove_file(const std::string& name) {
    DeleteFileW(wide_name(name).c_str());
}

void remove_on_interrupt(const std::string& name) {
    interrupt_victim_set = 0;
    const std::wstring wide = name.empty() ? std::wstring() : wide_name(name);
    if (wide.empty() || wide.size() >= std::size(interrupt_victim)) return;
    std::memcpy(interrupt_victim, wide.c_str(), (wide.size() + 1) * sizeof(wchar_t));
    interrupt_victim_set = 1;
}

void hold_interrupts() {
    EnterCriticalSection(&interrupt_lock);
}

void release_interrupts() {
    LeaveCriticalSection(&interrupt_lock);
}

}  // namespace zeilfuge
