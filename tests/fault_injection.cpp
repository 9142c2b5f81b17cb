// Loaded with LD_PRELOAD into the tool: makes the N-th call of the C library functions the
// tool uses fail, counting over all of them together, or slows one of them down.
//   FAULT_AT=N FAULT_ERRNO=5    the N-th call fails with that errno (EIO, EINTR, ...)
//   FAULT_ALL=NAME              every call of NAME fails with FAULT_ERRNO
//   FAULT_COUNT=FILE            at exit, writes the number of calls counted, and their names
//   FAULT_DELAY=NAME FAULT_MARK=FILE
//                               the first call of NAME creates FILE, then waits 1.5 s
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

long fail_at = -1;
int fail_errno = EIO;
long calls = 0;
const char* count_file = nullptr;
const char* fail_all = nullptr;
const char* delay_name = nullptr;
const char* delay_mark = nullptr;
char names[65536];
std::size_t names_used = 0;

[[gnu::constructor]] void start() {
    if (const char* at = std::getenv("FAULT_AT")) fail_at = std::atol(at);
    if (const char* e = std::getenv("FAULT_ERRNO")) fail_errno = std::atoi(e);
    count_file = std::getenv("FAULT_COUNT");
    fail_all = std::getenv("FAULT_ALL");
    delay_name = std::getenv("FAULT_DELAY");
    delay_mark = std::getenv("FAULT_MARK");
}

[[gnu::destructor]] void finish() {
    if (count_file == nullptr) return;
    if (FILE* f = std::fopen(count_file, "w")) {
        std::fprintf(f, "%ld\n%.*s", calls, static_cast<int>(names_used), names);
        std::fclose(f);
    }
}

template <class F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// True when this call is to fail; errno is then set.
bool fails(const char* name) {
    ++calls;
    const std::size_t n = std::strlen(name);
    if (names_used + n + 1 < sizeof names) {
        std::memcpy(names + names_used, name, n);
        names[names_used + n] = '\n';
        names_used += n + 1;
    }
    if (delay_name != nullptr && std::strcmp(name, delay_name) == 0) {
        delay_name = nullptr;
        const int fd =
            real<int (*)(const char*, int, ...)>("open")(delay_mark, O_WRONLY | O_CREAT, 0600);
        if (fd >= 0) real<int (*)(int)>("close")(fd);
        const timespec pause = {1, 500000000};
        nanosleep(&pause, nullptr);
    }
    if (calls != fail_at && (fail_all == nullptr || std::strcmp(name, fail_all) != 0)) {
        return false;
    }
    errno = fail_errno;
    return true;
}

mode_t mode_argument(int flags, va_list& args) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

#define FORWARD(type, name, params, args)        \
    extern "C" type name params {                \
        if (fails(#name)) return -1;             \
        return real<type(*) params>(#name) args; \
    }

extern "C" int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    if (fails("open")) return -1;
    return real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

extern "C" int openat(int folder, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    if (fails("openat")) return -1;
    return real<int (*)(int, const char*, int, ...)>("openat")(folder, path, flags, mode);
}

extern "C" int fcntl(int fd, int command, ...) {
    va_list args;
    va_start(args, command);
    const long argument = va_arg(args, long);
    va_end(args);
    if (fails("fcntl")) return -1;
    return real<int (*)(int, int, ...)>("fcntl")(fd, command, argument);
}

FORWARD(ssize_t, read, (int fd, void* buffer, size_t size), (fd, buffer, size))
FORWARD(ssize_t, write, (int fd, const void* buffer, size_t size), (fd, buffer, size))
FORWARD(int, close, (int fd), (fd))
FORWARD(int, fstat, (int fd, struct stat* info), (fd, info))
FORWARD(int, fstatat, (int folder, const char* path, struct stat* info, int flags),
        (folder, path, info, flags))
FORWARD(int, ftruncate, (int fd, off_t length), (fd, length))
FORWARD(int, fsync, (int fd), (fd))
FORWARD(int, poll, (struct pollfd * fds, nfds_t n, int timeout), (fds, n, timeout))
FORWARD(ssize_t, readlinkat, (int folder, const char* path, char* buffer, size_t size),
        (folder, path, buffer, size))
FORWARD(int, renameat, (int from_folder, const char* from, int to_folder, const char* to),
        (from_folder, from, to_folder, to))
FORWARD(int, renameat2,
        (int from_folder, const char* from, int to_folder, const char* to, unsigned int flags),
        (from_folder, from, to_folder, to, flags))
FORWARD(int, linkat, (int from_folder, const char* from, int to_folder, const char* to, int flags),
        (from_folder, from, to_folder, to, flags))
FORWARD(int, unlinkat, (int folder, const char* path, int flags), (folder, path, flags))
FORWARD(int, fchown, (int fd, uid_t owner, gid_t group), (fd, owner, group))
FORWARD(int, fchmod, (int fd, mode_t mode), (fd, mode))
FORWARD(ssize_t, flistxattr, (int fd, char* list, size_t size), (fd, list, size))
FORWARD(ssize_t, fgetxattr, (int fd, const char* name, void* value, size_t size),
        (fd, name, value, size))
FORWARD(int, fsetxattr, (int fd, const char* name, const void* value, size_t size, int flags),
        (fd, name, value, size, flags))
FORWARD(int, fremovexattr, (int fd, const char* name), (fd, name))
FORWARD(ssize_t, listxattr, (const char* path, char* list, size_t size), (path, list, size))
FORWARD(ssize_t, getxattr, (const char* path, const char* name, void* value, size_t size),
        (path, name, value, size))
FORWARD(int, fstatfs, (int fd, struct statfs* info), (fd, info))
FORWARD(int, faccessat, (int folder, const char* path, int mode, int flags),
        (folder, path, mode, flags))
