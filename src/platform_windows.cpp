#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <algorithm>
#include <cstdint>
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

// Volume serial numbers have 32 bits; what isn't a file on a disk gets a device above them,
// and the handle as its index, so that it is the same file only as itself.
constexpr std::uint64_t kNoVolume = std::uint64_t{1} << 32;

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

std::string utf8_name(const std::wstring& wide) {
    return utf8_from_utf16(std::u16string(wide.begin(), wide.end()));
}

// The bytes of a text in the ANSI code page, where every character the code page lacks
// becomes '?': never a best-fit look-alike.
std::string ansi_text(const std::wstring& wide) {
    const int length = static_cast<int>(wide.size());
    const UINT page = GetACP();
    // UTF-8 (the ANSI code page where Windows is set so) and GB18030 hold every character
    // and take neither the flag nor a default character.
    const bool holds_all = page == CP_UTF8 || page == CP_UTF7 || page == 54936;
    const DWORD flags = holds_all ? 0 : WC_NO_BEST_FIT_CHARS;
    const char* fallback = holds_all ? nullptr : "?";
    const int n =
        WideCharToMultiByte(page, flags, wide.data(), length, nullptr, 0, fallback, nullptr);
    if (n <= 0) {
        // Nothing looked alike then either: ASCII as it is, everything else '?'.
        std::string bytes;
        for (const wchar_t c : wide)
            bytes += c < 0x80 ? static_cast<char>(c) : '?';
        return bytes;
    }
    std::string bytes(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(page, flags, wide.data(), length, bytes.data(), n, fallback, nullptr);
    return bytes;
}

// ReadFile and WriteFile take 32-bit sizes; larger buffers go in several calls.
DWORD call_size(std::size_t size) {
    return size > 0x40000000 ? DWORD{0x40000000} : static_cast<DWORD>(size);
}

HANDLE open_name(const std::wstring& name, DWORD access, DWORD disposition, DWORD flags) {
    if (name.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(name.c_str(), access, kShareAll, nullptr, disposition, flags, nullptr);
}

bool identity_of(HANDLE handle, FileIdentity& identity) {
    const DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_DISK) {
        // The 128-bit ID where the system has it (Windows 8 on): ReFS needs all of it.
        FILE_ID_INFO id{};
        if (GetFileInformationByHandleEx(handle, FileIdInfo, &id, sizeof id) != 0) {
            identity.device = id.VolumeSerialNumber;
            std::memcpy(&identity.index, id.FileId.Identifier, sizeof identity.index);
            std::memcpy(&identity.index_high, id.FileId.Identifier + sizeof identity.index,
                        sizeof identity.index_high);
        } else {
            BY_HANDLE_FILE_INFORMATION info{};
            if (GetFileInformationByHandle(handle, &info) == 0) return false;
            identity.device = info.dwVolumeSerialNumber;
            identity.index = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
            identity.index_high = 0;
        }
        // Asks for no access right, so that a standard handle open for writing only answers.
        FILE_STANDARD_INFO standard{};
        if (GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) ==
            0) {
            return false;
        }
        identity.kind = standard.Directory != 0 ? FileKind::directory : FileKind::regular;
        identity.size = static_cast<std::uint64_t>(standard.EndOfFile.QuadPart);
        return true;
    }
    if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return false;
    identity.device = kNoVolume + type;
    identity.index = reinterpret_cast<std::uintptr_t>(handle);
    identity.index_high = 0;
    identity.kind = type == FILE_TYPE_CHAR   ? FileKind::character_device
                    : type == FILE_TYPE_PIPE ? FileKind::fifo
                                             : FileKind::other;
    return true;
}

// Opens the file that name holds now, not following a link at the end, to check or to
// remove it.
HANDLE open_place(const Place& place, DWORD access) {
    return open_name(wide_name(place.name), access | FILE_READ_ATTRIBUTES, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
}

// With as_read, nothing may have been written to the file since `expected` was taken.
bool place_holds(const Place& place, const FileIdentity& expected, bool as_read = false) {
    const HANDLE handle = open_place(place, 0);
    if (handle == INVALID_HANDLE_VALUE) return false;
    FileIdentity now;
    const bool same =
        identity_of(handle, now) && (as_read ? unchanged(now, expected) : same_file(now, expected));
    CloseHandle(handle);
    return same;
}

// Marks the file for removal through a handle: it goes with its last handle, whatever
// name it has by then.
bool remove_by_handle(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

bool truncate_handle(HANDLE handle) {
    LARGE_INTEGER start{};
    return SetFilePointerEx(handle, start, nullptr, FILE_BEGIN) != 0 && SetEndOfFile(handle) != 0;
}

void discard(const Place& place, HANDLE file, const FileIdentity& identity) {
    // Without a place the file is not the run's to remove (an output that was there): only
    // emptied, as on POSIX.
    if (!place.name.empty() && file != INVALID_HANDLE_VALUE && remove_by_handle(file)) return;
    if (!place.name.empty()) {
        const HANDLE there = open_place(place, DELETE);
        if (there != INVALID_HANDLE_VALUE) {
            FileIdentity now;
            const bool removed =
                identity_of(there, now) && same_file(now, identity) && remove_by_handle(there);
            CloseHandle(there);
            if (removed) return;
        }
    }
    if (file != INVALID_HANDLE_VALUE) truncate_handle(file);
}

// ---- Interrupts. The console handler runs on a thread of its own; the lock keeps it out
// while the main thread creates, replaces or removes a file, so it always knows what to
// discard.

CRITICAL_SECTION interrupt_lock;
struct Victim {
    bool set = false;
    Place place;
    HANDLE file = INVALID_HANDLE_VALUE;
    FileIdentity identity;
};
Victim victim;
bool run_complete = false;

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    EnterCriticalSection(&interrupt_lock);
    if (run_complete) ExitProcess(0);
    if (victim.set) discard(victim.place, victim.file, victim.identity);
    ExitProcess(event == CTRL_C_EVENT ? 130 : 149);
}

constexpr DWORD kStandard[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
bool closed_at_start[3] = {};

}  // namespace

void prepare_process() {
    // A missing standard handle (a detached job, a service started with NULL handles) is no
    // number that a file opened later could take, as on POSIX: it is only remembered as
    // closed, and the console texts go nowhere.
    for (int number = 0; number < 3; ++number) {
        const HANDLE handle = GetStdHandle(kStandard[number]);
        closed_at_start[number] = handle == nullptr || handle == INVALID_HANDLE_VALUE;
    }
    InitializeCriticalSection(&interrupt_lock);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

File standard_file(int number) {
    return file_of(GetStdHandle(kStandard[number]));
}

bool standard_closed(int number) {
    return closed_at_start[number];
}

// Windows has no names for the standard handles that a program could be given.
int descriptor_number(const std::string&) {
    return -1;
}

bool descriptor_given(int number) {
    return number >= 0 && number <= 2 && !closed_at_start[number];
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
    const HANDLE handle =
        open_name(wide_name(name), GENERIC_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN);
    if (handle == INVALID_HANDLE_VALUE) return false;
    file = file_of(handle);
    return true;
}

// Opening a pipe doesn't wait for data on Windows.
void await_input(File) {}

bool reads_from_start(File file) {
    LARGE_INTEGER position{};
    return GetFileType(handle_of(file)) != FILE_TYPE_DISK ||
           SetFilePointerEx(handle_of(file), LARGE_INTEGER{}, &position, FILE_CURRENT) == 0 ||
           position.QuadPart == 0;
}

bool open_for_writing(const std::string& name, File& file, Opened& how, Place& place) {
    // A read-only file, by its attribute or its access list, fails here as for any run.
    // DELETE lets a failed run remove the file through its handle; where the access list
    // grants writing but not that, the file is only emptied.
    const std::wstring wide = wide_name(name);
    constexpr DWORD kAccess = GENERIC_WRITE | FILE_READ_ATTRIBUTES;
    HANDLE handle = open_name(wide, kAccess | DELETE, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        handle = open_name(wide, kAccess, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    }
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
    how = created ? Opened::created : Opened::existing;
    // Windows refuses a read-only file above; Wine run as root opens it all the same.
    FILE_BASIC_INFO basic{};
    if (GetFileType(handle) == FILE_TYPE_DISK &&
        GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) != 0 &&
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        CloseHandle(handle);
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    file = file_of(handle);
    // Made under its name at once: found again by it, to be removed if the run fails.
    if (created) locate(name, file, place);
    return true;
}

// Windows makes no file without a name.
bool give_name(File, const Place&) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
}

bool make_blocking(File) {
    return true;
}

bool identify(File file, FileIdentity& identity) {
    return identity_of(handle_of(file), identity);
}

bool locate(const std::string& name, File file, Place& place) {
    // The full name of the file itself, with every link on the way resolved, found through
    // the name given: of two hard links, the one that was named.
    const HANDLE named =
        open_name(wide_name(name), FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (named == INVALID_HANDLE_VALUE) return false;
    std::wstring full(GetFinalPathNameByHandleW(named, nullptr, 0, FILE_NAME_NORMALIZED), L'\0');
    const DWORD length = full.empty() ? 0
                                      : GetFinalPathNameByHandleW(named, full.data(),
                                                                  static_cast<DWORD>(full.size()),
                                                                  FILE_NAME_NORMALIZED);
    CloseHandle(named);
    if (length == 0 || length >= full.size()) return false;
    full.resize(length);
    Place found;
    found.name = utf8_name(full);
    FileIdentity opened;
    if (!identity_of(handle_of(file), opened) || !place_holds(found, opened)) return false;
    place = found;
    return true;
}

bool truncate_file(File file) {
    return truncate_handle(handle_of(file));
}

bool create_temporary_beside(const Place& target, File& file, Place& temporary,
                             FileIdentity& identity) {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    const std::size_t cut = target.name.find_last_of("\\/");
    if (cut == std::string::npos) return false;
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    std::uint64_t seed =
        static_cast<std::uint64_t>(now.QuadPart) ^ std::uint64_t{GetCurrentProcessId()} << 40;
    for (int attempt = 0; attempt < 100; ++attempt) {
        Place place;
        place.name = target.name.substr(0, cut + 1) + ".zeilfuge-";
        for (int i = 0; i < 8; ++i) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            place.name += kLetters[(seed >> 33) % (sizeof kLetters - 1)];
        }
        const HANDLE handle =
            open_name(wide_name(place.name), GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES,
                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) continue;
        if (handle == INVALID_HANDLE_VALUE) return false;
        if (!identity_of(handle, identity)) {
            remove_by_handle(handle);
            CloseHandle(handle);
            return false;
        }
        file = file_of(handle);
        temporary = place;
        return true;
    }
    return false;
}

MetadataFailure copy_metadata(File from, File to) {
    // ReplaceFileW gives the new file the security descriptor, attributes, creation time and
    // alternate data streams of the one it replaces. The access list is copied now as well,
    // so that the converted data is no more readable while it is written than the input
    // was; best effort, as the replace makes it right in the end. The attributes and the
    // creation time are set now too, as Wine's ReplaceFileW doesn't carry attributes over.
    PACL access_list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(handle_of(from), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, &access_list, nullptr, &descriptor) == ERROR_SUCCESS) {
        // Inheriting from the folder, which is the input's own, as the input does or not.
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        GetSecurityDescriptorControl(descriptor, &control, &revision);
        const SECURITY_INFORMATION inheritance = (control & SE_DACL_PROTECTED) != 0
                                                     ? PROTECTED_DACL_SECURITY_INFORMATION
                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION;
        SetSecurityInfo(handle_of(to), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | inheritance,
                        nullptr, nullptr, access_list, nullptr);
        LocalFree(descriptor);
    }
    FILE_BASIC_INFO basic{};
    if (GetFileInformationByHandleEx(handle_of(from), FileBasicInfo, &basic, sizeof basic) == 0) {
        return {MetadataPart::source, static_cast<int>(GetLastError())};
    }
    // Only those a program may set (compression and the like come with the replace), and
    // never read-only: the input was writable when opened, and a read-only new file could
    // not be removed if the run fails. Made read-only meanwhile, the input is not replaced.
    constexpr DWORD kSettable = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                                FILE_ATTRIBUTE_OFFLINE | FILE_ATTRIBUTE_TEMPORARY;
    const DWORD attributes = basic.FileAttributes & kSettable;
    FILE_BASIC_INFO kept{};
    kept.CreationTime = basic.CreationTime;
    kept.FileAttributes = attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
    if (SetFileInformationByHandle(handle_of(to), FileBasicInfo, &kept, sizeof kept) == 0) {
        return {MetadataPart::permissions, static_cast<int>(GetLastError())};
    }
    return {};
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

// ReplaceFileW keeps the folder's entries as the file system does; nothing to flush here.
bool flush_folder(const Place&) {
    return true;
}

File duplicate_file(File file) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    const HANDLE process = GetCurrentProcess();
    if (DuplicateHandle(process, handle_of(file), process, &copy, 0, FALSE,
                        DUPLICATE_SAME_ACCESS) == 0) {
        return File{};
    }
    return file_of(copy);
}

bool same_place(const std::string& a, const std::string& b) {
    // Full names, compared as the file system does: without regard to case.
    return CompareStringOrdinal(wide_name(a).c_str(), -1, wide_name(b).c_str(), -1, TRUE) ==
           CSTR_EQUAL;
}

bool close_file(File& file) {
    if (handle_of(file) == INVALID_HANDLE_VALUE) return true;
    const bool closed = CloseHandle(handle_of(file)) != 0;
    file = File{};
    return closed;
}

bool replace_file(const Place& temporary, const Place& target, const FileIdentity& expected,
                  const FileIdentity&) {
    if (!place_holds(target, expected, true)) return false;
    // Where ReplaceFileW can't keep what the old file had, it fails, and so does the run:
    // a plain rename would drop the access list, the attributes and the streams.
    return ReplaceFileW(wide_name(target.name).c_str(), wide_name(temporary.name).c_str(), nullptr,
                        0, nullptr, nullptr) != 0;
}

void discard_file(const Place& place, File file, const FileIdentity& identity) {
    discard(place, handle_of(file), identity);
}

void discard_on_interrupt(const Place& place, File file, const FileIdentity& identity) {
    victim.place = place;
    victim.file = handle_of(file);
    victim.identity = identity;
    victim.set = true;
}

void forget_on_interrupt() {
    victim.set = false;
}

void complete_on_interrupt() {
    run_complete = true;
}

void hold_interrupts() {
    EnterCriticalSection(&interrupt_lock);
}

void release_interrupts() {
    LeaveCriticalSection(&interrupt_lock);
}

}  // namespace zeilfuge
