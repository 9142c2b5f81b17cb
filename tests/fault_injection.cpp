// Loaded with LD_PRELOAD into the tool: makes the N-th call of the C library functions the
// tool uses fail, counting over all of them together, or slows one of them down.
//   FAULT_AT=N FAULT_ERRNO=5    the N-th call fails with that errno (EIO, EINTR, ...)
//   FAULT_ALL=NAME              every call of NAME fails with FAULT_ERRNO
//   FAULT_COUNT=FILE            at exit, writes the number of calls counted, and their names
//   FAULT_HOLD=N[,M] FAULT_MARK=FILE, or FAULT_HOLD=NAME
//                               before the N-th (and the M-th) call, or the first call of
//                               NAME, creates FILE and waits until it is removed: the test
//                               acts while the run is held
//   FAULT_WATCH=NAME FAULT_EXCHANGES=FILE FAULT_CONTESTED=REPORT
//                               the calls that name NAME (as a path's last part) are marked
//                               "*" in FAULT_COUNT's list, other calls that take a name "+";
//                               at exit, REPORT gets the number of exchanges (counted in FILE
//                               by exchange_names) that landed between the first and the
//                               latest call that named NAME, and what each call that took a
//                               name after the first saw: 1 the names exchanged (an odd
//                               number of exchanges since the first), 0 not
// FAULT_COUNT's list gives each call's name and its call site: a hash of the return
// addresses on the stack, relative to their objects, so the same in every run.
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
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

template <class F>
F real(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int real_open(const char* path, int flags) {
    return real<int (*)(const char*, int, ...)>("open")(path, flags, 0600);
}

long fail_at = -1;
int fail_errno = EIO;
long calls = 0;
const char* count_file = nullptr;
const char* fail_all = nullptr;
const char* hold_name = nullptr;
const char* hold_mark = nullptr;
const char* watch_name = nullptr;
const char* contested_file = nullptr;
const unsigned long long* exchanges = nullptr;
unsigned long long exchanges_at_first = 0;
unsigned long long exchanges_at_latest = 0;
bool watched_seen = false;
char seen[256];
std::size_t seen_used = 0;
long hold_at[2] = {-1, -1};
char names[65536];
std::size_t names_used = 0;

[[gnu::constructor]] void start() {
    if (const char* at = std::getenv("FAULT_AT")) fail_at = std::atol(at);
    if (const char* e = std::getenv("FAULT_ERRNO")) fail_errno = std::atoi(e);
    count_file = std::getenv("FAULT_COUNT");
    fail_all = std::getenv("FAULT_ALL");
    hold_mark = std::getenv("FAULT_MARK");
    if (const char* hold = std::getenv("FAULT_HOLD"); hold != nullptr && *hold != 0) {
        char* end = nullptr;
        hold_at[0] = std::strtol(hold, &end, 10);
        if (end == hold) hold_name = hold;
        if (*end == ',') hold_at[1] = std::strtol(end + 1, nullptr, 10);
    }
    watch_name = std::getenv("FAULT_WATCH");
    contested_file = std::getenv("FAULT_CONTESTED");
    if (const char* file = std::getenv("FAULT_EXCHANGES")) {
        const int fd = real_open(file, O_RDONLY);
        if (fd >= 0) {
            void* map = mmap(nullptr, sizeof *exchanges, PROT_READ, MAP_SHARED, fd, 0);
            if (map != MAP_FAILED) exchanges = static_cast<const unsigned long long*>(map);
            real<int (*)(int)>("close")(fd);
        }
    }
}

[[gnu::destructor]] void finish() {
    if (contested_file != nullptr) {
        if (FILE* f = std::fopen(contested_file, "w")) {
            std::fprintf(f, "%llu %.*s\n", exchanges_at_latest - exchanges_at_first,
                         static_cast<int>(seen_used), seen);
            std::fclose(f);
        }
    }
    if (count_file == nullptr) return;
    if (FILE* f = std::fopen(count_file, "w")) {
        std::fprintf(f, "%ld\n%.*s", calls, static_cast<int>(names_used), names);
        std::fclose(f);
    }
}

// The call site: the return addresses on the stack, each relative to its object.
unsigned long call_site() {
    void* frames[16];
    const int depth = backtrace(frames, 16);
    unsigned long hash = 5381;
    for (int i = 2; i < depth; ++i) {  // past fails() and the wrapper
        Dl_info info{};
        const auto address = reinterpret_cast<unsigned long>(frames[i]);
        const auto base =
            dladdr(frames[i], &info) != 0 ? reinterpret_cast<unsigned long>(info.dli_fbase) : 0UL;
        hash = hash * 33 + (address - base);
    }
    return hash;
}

bool watched(const char* path) {
    if (watch_name == nullptr || path == nullptr) return false;
    const char* last = std::strrchr(path, '/');
    return std::strcmp(last != nullptr ? last + 1 : path, watch_name) == 0;
}

void pause_for(const char* mark) {
    const timespec tick = {0, 1000000};
    const int fd = real_open(mark, O_WRONLY | O_CREAT);
    if (fd >= 0) real<int (*)(int)>("close")(fd);
    const auto exists = real<int (*)(const char*, int)>("access");
    for (int i = 0; i < 20000 && exists(mark, F_OK) == 0; ++i)
        nanosleep(&tick, nullptr);
}

// True when this call is to fail; errno is then set.
bool fails(const char* name, const char* path = nullptr, const char* path2 = nullptr) {
    ++calls;
    if (hold_name != nullptr && std::strcmp(name, hold_name) == 0) {
        hold_name = nullptr;
        pause_for(hold_mark);
    } else if (calls == hold_at[0] || calls == hold_at[1]) {
        pause_for(hold_mark);
    }
    const bool marked = watched(path) || watched(path2);
    const bool named = path != nullptr && *path != 0;
    if (named && exchanges != nullptr) {
        const unsigned long long now = __atomic_load_n(exchanges, __ATOMIC_SEQ_CST);
        if (watched_seen && seen_used < sizeof seen) {
            seen[seen_used++] = (now - exchanges_at_first) % 2 != 0 ? '1' : '0';
        }
        if (marked) {
            if (!watched_seen) exchanges_at_first = now;
            exchanges_at_latest = now;
            watched_seen = true;
        }
    }
    if (count_file != nullptr && names_used + 64 < sizeof names) {
        names_used += static_cast<std::size_t>(
            std::snprintf(names + names_used, sizeof names - names_used, "%s%s %lx\n", name,
                          marked  ? "*"
                          : named ? "+"
                                  : "",
                          call_site()));
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
// The same for a call that takes names, which may be watched.
#define FORWARD_NAMED(type, name, params, args, path, path2) \
    extern "C" type name params {                            \
        if (fails(#name, path, path2)) return -1;            \
        return real<type(*) params>(#name) args;             \
    }

extern "C" int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    if (fails("open", path)) return -1;
    return real<int (*)(const char*, int, ...)>("open")(path, flags, mode);
}

extern "C" int openat(int folder, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    if (fails("openat", path)) return -1;
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
FORWARD_NAMED(int, fstatat, (int folder, const char* path, struct stat* info, int flags),
              (folder, path, info, flags), path, nullptr)
FORWARD(int, ftruncate, (int fd, off_t length), (fd, length))
FORWARD(int, fsync, (int fd), (fd))
FORWARD(int, poll, (struct pollfd * fds, nfds_t n, int timeout), (fds, n, timeout))
FORWARD_NAMED(ssize_t, readlinkat, (int folder, const char* path, char* buffer, size_t size),
              (folder, path, buffer, size), path, nullptr)
FORWARD_NAMED(int, renameat, (int from_folder, const char* from, int to_folder, const char* to),
              (from_folder, from, to_folder, to), from, to)
FORWARD_NAMED(int, renameat2,
              (int from_folder, const char* from, int to_folder, const char* to,
               unsigned int flags),
              (from_folder, from, to_folder, to, flags), from, to)
FORWARD_NAMED(int, linkat,
              (int from_folder, const char* from, int to_folder, const char* to, int flags),
              (from_folder, from, to_folder, to, flags), from, to)
FORWARD_NAMED(int, unlinkat, (int folder, const char* path, int flags), (folder, path, flags), path,
              nullptr)
FORWARD(int, fchown, (int fd, uid_t owner, gid_t group), (fd, owner, group))
FORWARD(int, fchmod, (int fd, mode_t mode), (fd, mode))
FORWARD(ssize_t, flistxattr, (int fd, char* list, size_t size), (fd, list, size))
FORWARD(ssize_t, fgetxattr, (int fd, const char* name, void* value, size_t size),
        (fd, name, value, size))
FORWARD(int, fsetxattr, (int fd, const char* name, const void* value, size_t size, int flags),
        (fd, name, value, size, flags))
FORWARD(int, fremovexattr, (int fd, const char* name), (fd, name))
FORWARD_NAMED(ssize_t, listxattr, (const char* path, char* list, size_t size), (path, list, size),
              path, nullptr)
FORWARD_NAMED(ssize_t, getxattr, (const char* path, const char* name, void* value, size_t size),
              (path, name, value, size), path, nullptr)
FORWARD(int, fstatfs, (int fd, struct statfs* info), (fd, info))
FORWARD_NAMED(int, faccessat, (int folder, const char* path, int mode, int flags),
              (folder, path, mode, flags), path, nullptr)
