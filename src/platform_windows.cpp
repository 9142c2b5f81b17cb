// Files and names on Windows: opening, identities, the new file beside a target, its
// metadata, reading and writing, and putting a result in place with ReplaceFileW or
// removing it, through handles wherever the system allows.
#include "platform_windows.hpp"
// After windows.h, which it needs.
#include <aclapi.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "wide_text.hpp"

namespace zeilfuge {

namespace {

using windows::file_of;
using windows::handle_of;

// Neither file is locked against other programs while the tool runs.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Volume serial numbers have 32 bits; what isn't a file on a disk gets a device above them,
// and the handle as its index, so that it is the same file only as itself.
constexpr std::uint64_t kNoVolume = std::uint64_t{1} << 32;

// The 32-bit EXE on 64-bit Windows would find C:\Windows\System32 redirected to SysWOW64:
// around each call that takes a name, the redirection is off, so that names are used as
// typed. Only around those: a DLL loaded meanwhile would be the 64-bit one.
struct NamesAsTyped {
#if defined(_WIN64)
    // Nothing to turn off; not trivial, so that a scope holding one is no unused variable.
    ~NamesAsTyped() {}
#else
    PVOID saved = nullptr;
    BOOL off = Wow64DisableWow64FsRedirection(&saved);
    NamesAsTyped() = default;
    NamesAsTyped(const NamesAsTyped&) = delete;
    NamesAsTyped& operator=(const NamesAsTyped&) = delete;
    ~NamesAsTyped() {
        if (off != 0) Wow64RevertWow64FsRedirection(saved);
    }
#endif
};

// Names travel as UTF-8 and reach the file system as the UTF-16 that was typed, with no
// code page between. A name that can't be converted becomes the empty name, which opens
// nothing. Where the full name has 260 characters or more, the legacy limit, it is given
// with the \\?\ prefix (\\?\UNC\ for \\server\share), which lifts the limit whether
// or not the system has long paths enabled; a shorter name is used as typed.
std::wstring wide_name(const std::string& name) {
    std::u16string utf16;
    if (!utf16_from_utf8(name, utf16)) return {};
    std::wstring wide(utf16.begin(), utf16.end());
    if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0) return wide;
    const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return wide;
    std::wstring full(n, L'\0');
    full.resize(GetFullPathNameW(wide.c_str(), n, full.data(), nullptr));
    if (full.size() < MAX_PATH || full.rfind(L"\\\\.\\", 0) == 0) return wide;
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

std::string utf8_name(const std::wstring& wide) {
    return utf8_from_utf16(std::u16string(wide.begin(), wide.end()));
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
    // cppcheck-suppress unusedVariable
    const NamesAsTyped as_typed;
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
        // The times need FILE_READ_ATTRIBUTES, which every handle the tool opens has; a
        // standard handle open for writing only is never compared by them.
        FILE_BASIC_INFO basic{};
        const bool timed =
            GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic) != 0;
        identity.modified = timed ? basic.LastWriteTime.QuadPart : 0;
        identity.changed = timed ? basic.ChangeTime.QuadPart : 0;
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

// What a replace that failed halfway left where no run can vouch for the target's name: the
// result under its temporary name and, where the old file couldn't be put back, the old
// file under the backup name. Each is then the only copy of its data, and never removed.
struct Stranded {
    bool set = false;
    FileIdentity result;
    Place temporary;
    Place backup;  // empty where the old file is back under its name, or gone
};
Stranded stranded;

}  // namespace

namespace windows {

void discard(const Place& place, HANDLE file, const FileIdentity& identity) {
    if (stranded.set && same_file(identity, stranded.result)) return;
    // Without a place the file is not the run's to remove (an output that was there): only
    // emptied, as on POSIX.
    if (place.name.empty()) {
        if (file != INVALID_HANDLE_VALUE) truncate_handle(file);
        return;
    }
    // Made by the run: removed through the handle it was made with, which needs no name.
    // Where that fails (a file system without the right to remove through a handle) it is
    // emptied, never looked for by name.
    if (file != INVALID_HANDLE_VALUE) {
        if (!remove_by_handle(file)) truncate_handle(file);
        return;
    }
    // Closed already (the new file beside the input, closed for the replace): opened again
    // by its name, which only this run uses, and removed through that handle only if it is
    // still the file the run made.
    const HANDLE there = open_place(place, DELETE);
    if (there == INVALID_HANDLE_VALUE) return;
    FileIdentity now;
    if (identity_of(there, now) && same_file(now, identity)) remove_by_handle(there);
    CloseHandle(there);
}

}  // namespace windows

using windows::discard;

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

FileSystemKind file_system_of(File file) {
    // A file on another machine, whatever the file system there: its identities are the
    // redirector's.
    FILE_REMOTE_PROTOCOL_INFO remote{};
    if (GetFileInformationByHandleEx(handle_of(file), FileRemoteProtocolInfo, &remote,
                                     sizeof remote) != 0) {
        return FileSystemKind::network;
    }
    wchar_t name[MAX_PATH + 1] = {};
    if (GetVolumeInformationByHandleW(handle_of(file), nullptr, 0, nullptr, nullptr, nullptr, name,
                                      MAX_PATH + 1) == 0) {
        return FileSystemKind::other;
    }
    const std::wstring_view kind(name);
    if (kind == L"NTFS") return FileSystemKind::ntfs;
    if (kind == L"ReFS") return FileSystemKind::refs;
    return FileSystemKind::other;
}

int last_error() {
    return static_cast<int>(GetLastError());
}

bool access_denied(int error) {
    return error == ERROR_ACCESS_DENIED;
}

namespace {

// The full name of a name, which has the folder in it.
std::wstring full_name(const std::wstring& wide) {
    const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return wide;
    std::wstring full(n, L'\0');
    full.resize(GetFullPathNameW(wide.c_str(), n, full.data(), nullptr));
    return full;
}

}  // namespace

bool find_output(const std::string& name, Place& place, File& file, FileIdentity& identity) {
    // Attributes and the security descriptor only: no access to the data, so that no share
    // mode of another program's handle (cmd's redirection, a log viewer) stands in the way.
    const std::wstring wide = wide_name(name);
    if (wide.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    HANDLE handle = open_name(wide, FILE_READ_ATTRIBUTES | READ_CONTROL, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        handle = open_name(wide, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
        // Not there: the full name it will have, in a folder that exists.
        place.name = utf8_name(full_name(wide));
        return true;
    }
    if (!identity_of(handle, identity) || identity.kind == FileKind::directory) {
        const DWORD error = identity.kind == FileKind::directory ? ERROR_DIRECTORY : GetLastError();
        CloseHandle(handle);
        SetLastError(error);
        return false;
    }
    file = file_of(handle);
    // The full name of the file itself, with every link on the way resolved: of two hard
    // links, the one that was named. Where the system can't name it (a device, a full name
    // of more than 260 characters under Wine, some network redirectors), the name as typed.
    std::wstring full(GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED), L'\0');
    const DWORD length = full.empty() ? 0
                                      : GetFinalPathNameByHandleW(handle, full.data(),
                                                                  static_cast<DWORD>(full.size()),
                                                                  FILE_NAME_NORMALIZED);
    if (length > 0 && length < full.size()) {
        full.resize(length);
        place.name = utf8_name(full);
    } else {
        place.name = utf8_name(full_name(wide));
    }
    return true;
}

bool may_write(const Place&, File file) {
    FILE_BASIC_INFO basic{};
    if (GetFileType(handle_of(file)) == FILE_TYPE_DISK &&
        GetFileInformationByHandleEx(handle_of(file), FileBasicInfo, &basic, sizeof basic) != 0 &&
        (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

bool replaceable(const Place& place) {
    // ReplaceFileW needs the old file's name to be free to go: a program that holds the file
    // open without FILE_SHARE_DELETE (a log viewer) keeps it.
    const HANDLE handle = open_place(place, DELETE);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError() != ERROR_SHARING_VIOLATION;
    CloseHandle(handle);
    return true;
}

bool open_for_writing(const Place& place, File& file) {
    const HANDLE handle = open_name(wide_name(place.name), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE) return false;
    File opened = file_of(handle);
    // Windows refuses a read-only file above; Wine run as root opens it all the same.
    if (!may_write(place, opened)) {
        CloseHandle(handle);
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    file = opened;
    return true;
}

// VirtualAlloc aligns to 64 KiB; large pages would need a privilege few accounts hold.
std::byte* map_region(std::size_t size) {
    return static_cast<std::byte*>(
        VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
}

void unmap_region(std::byte* region, std::size_t) {
    VirtualFree(region, 0, MEM_RELEASE);
}

// Windows takes no such hint for a file opened without data access.
void forget_cached(File) {}

// Permission bits are POSIX's: the new file's security comes from copy_metadata.
unsigned creation_mode(File) {
    return 0;
}

// Windows makes no file without a name.
Creation create_unnamed(const Place&, unsigned, bool, File&) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return Creation::unsupported;
}

bool name_beside(File, const Place&, Place&) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return false;
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

bool truncate_file(File file) {
    return truncate_handle(handle_of(file));
}

namespace {

// A name for a new file beside target, in the same folder, that no one else uses: the
// result before it takes the target's place, and the old file while it is replaced. Empty
// where target has no folder.
std::string random_name_beside(const Place& target) {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::uint64_t seed = 0;
    const std::size_t cut = target.name.find_last_of("\\/");
    if (cut == std::string::npos) return {};
    if (seed == 0) {
        LARGE_INTEGER now{};
        QueryPerformanceCounter(&now);
        seed = static_cast<std::uint64_t>(now.QuadPart) ^ std::uint64_t{GetCurrentProcessId()}
                                                              << 40;
    }
    std::string name = target.name.substr(0, cut + 1) + ".zeilfuge-";
    for (int i = 0; i < 8; ++i) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        name += kLetters[(seed >> 33) % (sizeof kLetters - 1)];
    }
    return name;
}

}  // namespace

bool create_beside(const Place& beside, unsigned, bool, File& file, Place& temporary) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        Place place;
        place.name = random_name_beside(beside);
        if (place.name.empty()) return false;
        // DELETE, so that a failed run removes it through this handle, never by its name.
        const HANDLE handle =
            open_name(wide_name(place.name), GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES,
                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) continue;
        if (handle == INVALID_HANDLE_VALUE) return false;
        file = file_of(handle);
        temporary = place;
        return true;
    }
    return false;
}

MetadataFailure copy_metadata(File from, File to, bool) {
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

namespace {

// A virus scanner or an indexer that opens the new file just after it was closed holds it
// for a moment: a call that meets a sharing violation is tried again, for about a second.
template <typename Call>
bool patiently(Call call) {
    for (int attempt = 0;; ++attempt) {
        if (call()) return true;
        if (GetLastError() != ERROR_SHARING_VIOLATION || attempt == 20) return false;
        Sleep(50);
    }
}

// Gives the file at `from` the name `to`, which must be free: never over another file.
bool move_to_free_name(const Place& from, const Place& to) {
    const std::wstring old_name = wide_name(from.name);
    const std::wstring new_name = wide_name(to.name);
    return patiently([&] {
        // cppcheck-suppress unusedVariable
        const NamesAsTyped as_typed;
        return MoveFileExW(old_name.c_str(), new_name.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
    });
}

// Removes the old file from under the backup name once the result is in place; where it
// can't, a .zeilfuge- file with the old data stays, which loses nothing.
void remove_backup(const Place& backup, const FileIdentity& old_file) {
    const HANDLE there = open_place(backup, DELETE);
    if (there == INVALID_HANDLE_VALUE) return;
    FileIdentity now;
    if (identity_of(there, now) && same_file(now, old_file)) remove_by_handle(there);
    CloseHandle(there);
}

// A backup name beside target that holds no file now.
bool free_name_beside(const Place& target, Place& backup) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        backup.name = random_name_beside(target);
        if (backup.name.empty()) return false;
        const std::wstring wide = wide_name(backup.name);
        // cppcheck-suppress unusedVariable
        const NamesAsTyped as_typed;
        if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES &&
            GetLastError() == ERROR_FILE_NOT_FOUND) {
            return true;
        }
    }
    return false;
}

// After a failed ReplaceFileW its error code is only a hint: where each file is now is
// looked up, and the names are put right so that the target's name holds the old file or
// the result. Where neither can have it, both stay where they are, marked as stranded.
bool recover(const Place& temporary, const Place& target, const Place& backup,
             const FileIdentity& old_file, const FileIdentity& result, DWORD error) {
    // Nothing changed (ERROR_UNABLE_TO_REMOVE_REPLACED, a sharing violation): the result
    // may go.
    if (place_holds(target, old_file)) {
        SetLastError(error);
        return false;
    }
    if (place_holds(target, result)) {
        remove_backup(backup, old_file);
        return true;
    }
    // ERROR_UNABLE_TO_MOVE_REPLACEMENT_2: the old file is under the backup name. Put back,
    // it leaves everything as it was.
    const bool old_aside = place_holds(backup, old_file);
    if (old_aside && move_to_free_name(backup, target)) {
        SetLastError(error);
        return false;
    }
    // ERROR_UNABLE_TO_MOVE_REPLACEMENT where the system removed the old file: the result
    // takes the name if it is still free.
    if (!old_aside && place_holds(temporary, result) && move_to_free_name(temporary, target)) {
        return true;
    }
    stranded.set = true;
    stranded.result = result;
    stranded.temporary = temporary;
    stranded.backup = old_aside ? backup : Place{};
    SetLastError(error);
    return false;
}

}  // namespace

bool rename_new(const Place& from, const Place& to) {
    return move_to_free_name(from, to);
}

// ReplaceFileW is the one way to replace a file here: names can't be exchanged.
bool replace_file(const Place& temporary, const Place& target, const FileIdentity& expected,
                  const FileIdentity& result, bool) {
    stranded = Stranded{};
    // With a backup name, ReplaceFileW never removes the old file before the result has
    // its name: without one, its failure ERROR_UNABLE_TO_MOVE_REPLACEMENT leaves the result
    // as the only copy, under the temporary name.
    Place backup;
    if (!free_name_beside(target, backup)) return false;
    const std::wstring replaced = wide_name(target.name);
    const std::wstring replacement = wide_name(temporary.name);
    const std::wstring aside = wide_name(backup.name);
    DWORD error = 0;
    for (int attempt = 0;; ++attempt) {
        // Another program's write meanwhile, or its file saved under the name, stays.
        if (!place_holds(target, expected, true)) return false;
        // Where ReplaceFileW can't keep what the old file had, it fails, and so does the
        // run: a plain rename would drop the access list, the attributes and the streams.
        bool replaced_now = false;
        {
            // cppcheck-suppress unusedVariable
            const NamesAsTyped as_typed;
            replaced_now = ReplaceFileW(replaced.c_str(), replacement.c_str(), aside.c_str(), 0,
                                        nullptr, nullptr) != 0;
        }
        if (replaced_now) {
            remove_backup(backup, expected);
            return true;
        }
        error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION || attempt == 20 || !place_holds(target, expected))
            break;
        Sleep(50);
    }
    return recover(temporary, target, backup, expected, result, error);
}

bool left_aside(Place& result) {
    if (!stranded.set) return false;
    result = stranded.temporary;
    // Shown as a user types it, without the prefix for long names.
    if (result.name.rfind("\\\\?\\UNC\\", 0) == 0) {
        result.name = "\\\\" + result.name.substr(8);
    } else if (result.name.rfind("\\\\?\\", 0) == 0) {
        result.name = result.name.substr(4);
    }
    return true;
}

void discard_file(const Place& place, File file, const FileIdentity& identity) {
    discard(place, handle_of(file), identity);
}

}  // namespace zeilfuge
