#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform.hpp"

#ifndef O_PATH
#define O_PATH O_RDONLY
#endif

// A 32-bit off_t fails fstat on files beyond 2 GiB, so an input that exists reads as missing.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace zeilfuge {

namespace {

int fd_of(File file) {
    return static_cast<int>(file.handle);
}

int folder_of(const Place& place) {
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

FileKind kind_of(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::regular;
    if (S_ISCHR(mode)) return FileKind::character_device;
    if (S_ISBLK(mode)) return FileKind::block_device;
    if (S_ISFIFO(mode)) return FileKind::fifo;
    if (S_ISDIR(mode)) return FileKind::directory;
    return FileKind::other;
}

FileIdentity identity_of(const struct stat& info) {
    const FileKind kind = kind_of(info.st_mode);
    // A device is the same device through any of its nodes: known by its number.
    if (kind == FileKind::block_device || kind == FileKind::character_device) {
        return {static_cast<std::uint64_t>(info.st_rdev), 0, kind};
    }
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino), kind};
}

bool set_blocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 &&
           ((flags & O_NONBLOCK) == 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0);
}

// ---- Names resolved by hand, relative to folder descriptors, so that a name longer than
// PATH_MAX and a folder deeper than it work, and the folder a file lives in is known.

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

// Walks name to the folder that holds its last part and the name of that part, following
// every symbolic link on the way and at the end. The last part need not exist.
bool resolve(const std::string& name, int& folder, std::string& last) {
    if (name.empty() || name.back() == '/') {
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

// Opens by name; a name too long for the kernel is walked part by part.
int open_name(const std::string& name, int flags, mode_t mode = 0) {
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

// ---- The interrupt handler and what it may do: only calls that are safe in a handler.

struct Victim {
    int folder = -1;
    int fd = -1;
    dev_t device = 0;
    ino_t index = 0;
    char name[4096] = {};
};

Victim victim;
volatile sig_atomic_t victim_set = 0;
volatile sig_atomic_t run_complete = 0;

void discard(int folder, const char* name, int fd, dev_t device, ino_t index) {
    if (folder >= 0) {
        struct stat now = {};
        if (retry([&] { return fstatat(folder, name, &now, AT_SYMLINK_NOFOLLOW); }) == 0 &&
            now.st_dev == device && now.st_ino == index &&
            retry([&] { return unlinkat(folder, name, 0); }) == 0) {
            return;
        }
    }
    if (fd >= 0) retry([&] { return ftruncate(fd, 0); });
}

extern "C" void on_interrupt(int signal_number) {
    if (run_complete != 0) _exit(0);
    if (victim_set != 0) {
        discard(victim.folder, victim.name, victim.fd, victim.device, victim.index);
    }
    _exit(128 + signal_number);
}

// Every signal whose default ends the process, but those that report a fault of the
// program itself (SIGSEGV, SIGBUS, ...), which no cleanup could be trusted after, and
// SIGPIPE, which ends a pipeline quietly as in any such tool.
std::vector<int> ending_signals() {
    std::vector<int> signals = {SIGHUP,  SIGINT,  SIGQUIT,   SIGTERM, SIGUSR1,
                                SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU};
#ifdef SIGPOLL
    signals.push_back(SIGPOLL);
#endif
#ifdef SIGPWR
    signals.push_back(SIGPWR);
#endif
#ifdef SIGSTKFLT
    signals.push_back(SIGSTKFLT);
#endif
#ifdef SIGRTMIN
    for (int n = SIGRTMIN; n <= SIGRTMAX; ++n)
        signals.push_back(n);
#endif
    return signals;
}

sigset_t interrupt_set;

}  // namespace

void prepare_process() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        // Left closed, the number would go to the first file opened, and a name such as
        // /dev/stdout would then mean that file. Where it can't be told, it counts as closed.
        const int null = retry([] { return open("/dev/null", O_RDWR); });
        if (null != fd && (null < 0 || dup2(null, fd) != fd)) _exit(97);
        if (null != fd) close(null);
    }
    // Beyond the file size limit a write fails and is reported like any other.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, nullptr);
    sigemptyset(&interrupt_set);
    const std::vector<int> signals = ending_signals();
    for (int signal_number : signals)
        sigaddset(&interrupt_set, signal_number);
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    action.sa_mask = interrupt_set;
    for (int signal_number : signals) {
        // A signal the caller ignores (nohup, a job started with &) stays ignored.
        struct sigaction before {};
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signal_number, &action, nullptr);
    }
}

File standard_input() {
    return File{STDIN_FILENO};
}

File standard_output() {
    return File{STDOUT_FILENO};
}

void write_console(std::string_view text) {
    write_all(File{STDOUT_FILENO}, std::as_bytes(std::span(text)));
}

bool reads_from_start(File file) {
    return lseek(fd_of(file), 0, SEEK_CUR) <= 0;
}

bool open_input(const std::string& name, File& file) {
    // Not waiting here for a FIFO's writer lets the output be opened and compared first: the
    // same FIFO as input and output would otherwise wait for ever.
    const int fd = open_name(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info = {};
    if (retry([&] { return fstat(fd, &info); }) != 0 || S_ISDIR(info.st_mode) ||
        (!S_ISFIFO(info.st_mode) && !set_blocking(fd))) {
        close(fd);
        return false;
    }
    file.handle = fd;
    return true;
}

void await_input(File file) {
    const int fd = fd_of(file);
    const int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || (flags & O_NONBLOCK) == 0) return;
    // A FIFO opened without waiting: it reads as ended until a writer has come, so wait for
    // the first writer's data or its leaving.
    struct pollfd wanted = {fd, POLLIN, 0};
    retry([&] { return poll(&wanted, 1, -1); });
    set_blocking(fd);
}

bool open_for_writing(const std::string& name, File& file, bool& created) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = open_name(name, O_WRONLY | O_CREAT | O_EXCL | O_NONBLOCK | O_CLOEXEC, 0666);
        created = fd >= 0;
        // There already, or a link: the link's target is created when missing.
        if (fd < 0 && errno == EEXIST) {
            fd = open_name(name, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
        }
        if (fd < 0 && errno == ENXIO) {
            // A FIFO without a reader. Waiting for one, the open creates nothing, so an
            // interrupt may end the run at once.
            release_interrupts();
            fd = open_name(name, O_WRONLY | O_CLOEXEC);
            const int error = errno;
            hold_interrupts();
            errno = error;
            if (fd < 0 && errno == ENOENT) continue;  // gone meanwhile: create it after all
        }
        if (fd < 0) return false;
        file.handle = fd;
        return true;
    }
    return false;
}

bool make_blocking(File file) {
    return set_blocking(fd_of(file));
}

bool identify(File file, FileIdentity& identity) {
    struct stat info = {};
    if (retry([&] { return fstat(fd_of(file), &info); }) != 0) return false;
    identity = identity_of(info);
    return true;
}

bool locate(const std::string& name, File file, Place& place) {
    int folder = -1;
    std::string last;
    if (!resolve(name, folder, last)) return false;
    struct stat there = {};
    struct stat opened = {};
    if (retry([&] { return fstatat(folder, last.c_str(), &there, AT_SYMLINK_NOFOLLOW); }) != 0 ||
        retry([&] { return fstat(fd_of(file), &opened); }) != 0 || there.st_dev != opened.st_dev ||
        there.st_ino != opened.st_ino) {
        close(folder);
        return false;
    }
    place.folder = folder;
    place.name = last;
    return true;
}

bool truncate_file(File file) {
    // ext4 takes a truncation to length 0 as a file being replaced, and starts writing all
    // of its data back when it is closed: the close of a fresh output waited that long.
    struct stat info = {};
    if (retry([&] { return fstat(fd_of(file), &info); }) == 0 && info.st_size == 0) return true;
    return retry([&] { return ftruncate(fd_of(file), 0); }) == 0;
}

bool create_temporary_beside(const Place& target, File& file, Place& temporary,
                             FileIdentity& identity) {
    static constexpr char kLetters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    struct timespec now = {};
    clock_gettime(CLOCK_REALTIME, &now);
    std::uint64_t seed = static_cast<std::uint64_t>(now.tv_nsec) ^
                         static_cast<std::uint64_t>(now.tv_sec) << 20 ^
                         static_cast<std::uint64_t>(getpid()) << 40;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = ".zeilfuge-";
        for (int i = 0; i < 8; ++i) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            name += kLetters[(seed >> 33) % (sizeof kLetters - 1)];
        }
        const int fd = retry([&] {
            return openat(folder_of(target), name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        });
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return false;
        struct stat info = {};
        if (retry([&] { return fstat(fd, &info); }) != 0) {
            // Just made under a name nobody knew: removed without a check.
            unlinkat(folder_of(target), name.c_str(), 0);
            close(fd);
            return false;
        }
        file.handle = fd;
        temporary.folder = target.folder;
        temporary.name = std::move(name);
        identity = identity_of(info);
        return true;
    }
    return false;
}

bool copy_metadata(File from, File to) {
    static constexpr const char* kAccessList = "system.posix_acl_access";
    const int in = fd_of(from);
    const int out = fd_of(to);
    struct stat info = {};
    if (retry([&] { return fstat(in, &info); }) != 0) return false;
    // The owner first: a change of owner clears the set-ID bits and file capabilities.
    if (retry([&] { return fchown(out, info.st_uid, info.st_gid); }) != 0) return false;

    std::vector<char> names(1024);
    ssize_t listed;
    while ((listed = flistxattr(in, names.data(), names.size())) < 0 && errno == ERANGE)
        names.resize(names.size() * 4);
    if (listed < 0 && errno != ENOTSUP) return false;
    bool has_access_list = false;
    std::vector<char> value(4096);
    for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(std::strlen(&names[at])) + 1) {
        const char* name = &names[at];
        const bool required = std::strcmp(name, kAccessList) == 0;
        has_access_list |= required;
        ssize_t size;
        while ((size = fgetxattr(in, name, value.data(), value.size())) < 0 && errno == ERANGE)
            value.resize(value.size() * 4);
        // Other attributes (a security label, say) go where the rights allow.
        const bool copied =
            size >= 0 && fsetxattr(out, name, value.data(), static_cast<std::size_t>(size), 0) == 0;
        if (required && !copied) return false;
    }
    // A list inherited from the folder would give others access the input didn't.
    if (!has_access_list && fremovexattr(out, kAccessList) != 0 && errno != ENODATA &&
        errno != ENOTSUP) {
        return false;
    }
    if (retry([&] { return fchmod(out, info.st_mode & 07777); }) != 0) return false;
    // The kernel may drop a set-group-ID bit silently; what was asked must be what holds.
    struct stat made = {};
    return retry([&] { return fstat(out, &made); }) == 0 && made.st_uid == info.st_uid &&
           made.st_gid == info.st_gid && (made.st_mode & 07777) == (info.st_mode & 07777);
}

std::ptrdiff_t read_some(File file, std::span<std::byte> buffer) {
    return retry([&] { return read(fd_of(file), buffer.data(), buffer.size()); });
}

bool write_all(File file, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = retry([&] { return write(fd_of(file), bytes.data(), bytes.size()); });
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

bool flush_to_disk(File file) {
    return retry([&] { return fsync(fd_of(file)); }) == 0;
}

bool close_file(File& file) {
    if (file.handle < 0) return true;
    // Not retried: after an interrupted close the descriptor is gone all the same.
    const int result = close(fd_of(file));
    file.handle = -1;
    return result == 0;
}

bool replace_file(const Place& temporary, const Place& target, const FileIdentity& expected) {
    struct stat now = {};
    if (retry([&] {
            return fstatat(folder_of(target), target.name.c_str(), &now, AT_SYMLINK_NOFOLLOW);
        }) != 0 ||
        !same_file(identity_of(now), expected)) {
        return false;
    }
    return retry([&] {
               return renameat(folder_of(temporary), temporary.name.c_str(), folder_of(target),
                               target.name.c_str());
           }) == 0;
}

void discard_file(const Place& place, File file, const FileIdentity& identity) {
    discard(folder_of(place), place.name.c_str(), fd_of(file), static_cast<dev_t>(identity.device),
            static_cast<ino_t>(identity.index));
}

void discard_on_interrupt(const Place& place, File file, const FileIdentity& identity) {
    victim_set = 0;
    const bool fits = place.name.size() < sizeof victim.name;
    victim.folder = fits ? folder_of(place) : -1;
    if (fits) std::memcpy(victim.name, place.name.c_str(), place.name.size() + 1);
    victim.fd = fd_of(file);
    victim.device = static_cast<dev_t>(identity.device);
    victim.index = static_cast<ino_t>(identity.index);
    victim_set = 1;
}

void forget_on_interrupt() {
    victim_set = 0;
}

void complete_on_interrupt() {
    run_complete = 1;
    // What is left to print is the summary; a closed pipe must not make a run that has
    // replaced its input look failed.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, nullptr);
}

void hold_interrupts() {
    pthread_sigmask(SIG_BLOCK, &interrupt_set, nullptr);
}

void release_interrupts() {
    pthread_sigmask(SIG_UNBLOCK, &interrupt_set, nullptr);
}

}  // namespace zeilfuge
