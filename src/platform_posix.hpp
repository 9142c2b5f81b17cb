// What the POSIX platform files share: calls retried after a signal, identities from
// stat, and names walked through folder descriptors (platform_posix_names.cpp).
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform.hpp"

namespace zeilfuge::posix {

inline int fd_of(File file) {
    return static_cast<int>(file.handle);
}

inline int folder_of(const Place& place) {
    return static_cast<int>(place.folder);
}

// Calls again while a signal that doesn't end the run breaks the call off.
template <class Call>
auto retry(Call call) {
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR) return result;
    }
}

FileIdentity identity_of(const struct stat& info);

// Walks name to the folder that holds its last part and the name of that part, following
// every symbolic link on the way and at the end. The last part need not exist.
bool resolve(const std::string& name, int& folder, std::string& last);

// Opens by name; a name too long for the kernel is walked part by part.
int open_name(const std::string& name, int flags, mode_t mode = 0);

}  // namespace zeilfuge::posix
