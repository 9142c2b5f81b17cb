// The reason for a Windows system error (GetLastError), for the error lines.
#include <windows.h>

#include "texts.hpp"

namespace zeilfuge {
namespace {

// ERROR_DISK_QUOTA_EXCEEDED, which the mingw-w64 headers lack.
constexpr DWORD kDiskQuotaExceeded = 1295;

}  // namespace

Reason reason_from_error(int error) {
    switch (static_cast<DWORD>(error)) {
        case ERROR_SUCCESS:
            return Reason::none;
        case ERROR_FILE_NOT_FOUND:  // a name with a missing folder in the middle
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return Reason::folder_missing;
        case ERROR_ACCESS_DENIED:  // a folder opened for writing, too
        case ERROR_PRIVILEGE_NOT_HELD:
            return Reason::no_permission;
        case ERROR_DIRECTORY:  // a folder named as the output
            return Reason::is_folder;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return Reason::disk_full;
        case kDiskQuotaExceeded:
            return Reason::quota_exceeded;
        case ERROR_FILE_TOO_LARGE:
            return Reason::file_too_large;
        case ERROR_WRITE_PROTECT:
            return Reason::read_only_fs;
        case ERROR_FILENAME_EXCED_RANGE:
            return Reason::name_too_long;
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
            return Reason::invalid_name;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return Reason::name_taken;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_USER_MAPPED_FILE:
            return Reason::in_use;
        case ERROR_CANT_RESOLVE_FILENAME:
            return Reason::too_many_links;
        case ERROR_CRC:
        case ERROR_READ_FAULT:
        case ERROR_WRITE_FAULT:
        case ERROR_IO_DEVICE:
            return Reason::device_error;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return Reason::out_of_memory;
        default:
            return Reason::other;
    }
}

}  // namespace zeilfuge
