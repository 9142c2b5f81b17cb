// Names resolved by hand, relative to folder descriptors, so that a name longer than
// PATH_MAX and a folder deeper than it work, and the folder a file lives in is known.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform_posix.hpp"

#ifndef O_PATH
#define O_PATH O_RDONLY
#endif

namespace zeilfuge {

namespace {

using posix::retry;

bool read_link(int folder, const std::string& name, std::string& target) {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t n = readlinkat(folder, name.c_str(), buffer.data(), buffer.size());
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) < buffer.size()) {
            target.assign(buffer.data(), static_cast<std::size_t>(n));
            return true;
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Pushes the parts of a name onto the stack of parts still to walk, the first on top.
void push_parts(const std::string& name, std::vector<std::string>& parts) {
    std::size_t end = name.size();
    while (end > 0) {
        const std::size_t slash = name.rfind('/', end - 1);
        const std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
        std::string part = name.substr(begin, end - begin);
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        if (slash == std::string::npos) break;
        end = slash;
    }
}

int open_folder(int at, const char* name) {
    return retry([&] { return openat(at, name, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); });
}

}  // namespace

namespace posix {

bool resolve(const std::string& name, int& folder, std::string& last) {
    if (name.empty()) {
        errno = EINVAL;
        return false;
    }
    if (name.back() == '/') {
        errno = ENOENT;
        return false;
    }
    int at = open_folder(AT_FDCWD, name.front() == '/' ? "/" : ".");
    if (at < 0) return false;
    auto move_to = [&at](int next) {
        close(at);
        at = next;
        return next >= 0;
    };
    std::vector<std::string> parts;
    push_parts(name, parts);
    int links = 0;
    while (!parts.empty()) {
        const bool is_last = parts.size() == 1;
        const std::string part = std::move(parts.back());
        parts.pop_back();
        struct stat info = {};
        if (retry([&] { return fstatat(at, part.c_str(), &info, AT_SYMLINK_NOFOLLOW); }) != 0) {
            if (is_last && errno == ENOENT && part != "..") {
                folder = at;
                last = part;
                return true;
            }
            return move_to(-1);
        }
        if (S_ISLNK(info.st_mode)) {
            std::string target;
            if (++links > 40) {
                errno = ELOOP;
                return move_to(-1);
            }
            if (!read_link(at, part, target) || target.empty()) return move_to(-1);
            if (target.front() == '/' && !move_to(open_folder(AT_FDCWD, "/"))) return false;
            push_parts(target, parts);
            continue;
        }
        if (is_last && !S_ISDIR(info.st_mode)) {
            folder = at;
            last = part;
            return true;
        }
        if (!move_to(open_folder(at, part.c_str()))) return false;
    }
    // The name ends in a folder, which is no file to read or write.
    errno = EISDIR;
    return move_to(-1);
}

int open_name(const std::string& name, int flags, mode_t mode) {
    const int fd = retry([&] { return open(name.c_str(), flags, mode); });
    if (fd >= 0 || errno != ENAMETOOLONG) return fd;
    int folder = -1;
    std::string last;
    if (!resolve(name, folder, last)) return -1;
    const int opened = retry([&] { return openat(folder, last.c_str(), flags, mode); });
    const int error = errno;
    close(folder);
    errno = error;
    return opened;
}

}  // namespace posix

using posix::resolve;
using posix::retry;

bool same_place(const std::string& a, const std::string& b) {
    int folder_a = -1;
    int folder_b = -1;
    std::string last_a;
    std::string last_b;
    const bool walked = resolve(a, folder_a, last_a) && resolve(b, folder_b, last_b);
    struct stat info_a = {};
    struct stat info_b = {};
    const bool same = walked && last_a == last_b && fstat(folder_a, &info_a) == 0 &&
                      fstat(folder_b, &info_b) == 0 && info_a.st_dev == info_b.st_dev &&
                      info_a.st_ino == info_b.st_ino;
    if (folder_a >= 0) close(folder_a);
    if (folder_b >= 0) close(folder_b);
    return walked ? same : a == b;
}

bool find_output(const std::string& name, Place& place, File& file, FileIdentity& identity) {
    int folder = -1;
    std::string last;
    if (!resolve(name, folder, last)) return false;
    place.folder = folder;
    place.name = last;
    // Nothing that opening for reading could set off (a tape, a terminal's line): a regular
    // file is opened for reading only once it is known to be one.
    const int probe =
        retry([&] { return openat(folder, last.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC); });
    if (probe < 0) return errno == ENOENT;
    struct stat info = {};
    if (retry([&] { return fstat(probe, &info); }) != 0) {
        const int error = errno;
        close(probe);
        errno = error;
        return false;
    }
    int fd = probe;
    if (S_ISREG(info.st_mode)) {
        const int readable = retry([&] {
            return openat(folder, last.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        });
        struct stat again = {};
        if (readable >= 0 && retry([&] { return fstat(readable, &again); }) == 0 &&
            again.st_dev == info.st_dev && again.st_ino == info.st_ino) {
            close(probe);
            fd = readable;
        } else if (readable >= 0) {
            close(readable);
        }
    }
    file.handle = fd;
    identity = posix::identity_of(info);
    return true;
}

int descriptor_number(const std::string& name) {
    static constexpr std::string_view kStandard[3] = {"/dev/stdin", "/dev/stdout", "/dev/stderr"};
    for (int number = 0; number < 3; ++number) {
        if (name == kStandard[number]) return number;
    }
    for (const std::string_view folder : {"/dev/fd/", "/proc/self/fd/"}) {
        if (!name.starts_with(folder)) continue;
        // As the kernel reads them: decimal digits, no leading zero.
        const std::string_view digits = std::string_view(name).substr(folder.size());
        if (digits.empty() || digits.size() > 9 || (digits.size() > 1 && digits[0] == '0')) {
            return -1;
        }
        int number = 0;
        for (const char digit : digits) {
            if (digit < '0' || digit > '9') return -1;
            number = number * 10 + (digit - '0');
        }
        return number;
    }
    return -1;
}

}  // namespace zeilfuge
