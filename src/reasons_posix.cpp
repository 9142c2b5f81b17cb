// The reason for an errno value, for the error lines.
#include <cerrno>

#include "texts.hpp"

namespace zeilfuge {

Reason reason_from_error(int error) {
    switch (error) {
        case 0:
            return Reason::none;
        case ENOENT:
        case ENOTDIR:
            return Reason::folder_missing;
        case EACCES:
        case EPERM:
            return Reason::no_permission;
        case EISDIR:
            return Reason::is_folder;
        case ENOSPC:
            return Reason::disk_full;
        case EDQUOT:
            return Reason::quota_exceeded;
        case EFBIG:
            return Reason::file_too_large;
        case EROFS:
            return Reason::read_only_fs;
        case ENAMETOOLONG:
            return Reason::name_too_long;
        case EINVAL:  // the empty name
            return Reason::invalid_name;
        case EEXIST:
            return Reason::name_taken;
        case ETXTBSY:
        case EBUSY:
            return Reason::in_use;
        case ELOOP:
            return Reason::too_many_links;
        case EIO:
            return Reason::device_error;
        case ENOMEM:
            return Reason::out_of_memory;
        default:
            return Reason::other;
    }
}

}  // namespace zeilfuge
