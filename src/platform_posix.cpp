#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform.hpp"

namespace zeilfuge {

namespace {

int fd_of(File file) {
    return static_cast<int>(file.handle);
}

// The name an interrupt removes. Kept in a fixed array, as the signal handler may not
// allocate; a longer name than fits is not removed by an interrupt.
char interrupt_victim[PATH_MAX * 2];
volatile sig_atomic_t interrupt_victim_set = 0;

sigset_t interrupt_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&set, signal_number);
    return set;
}

extern "C" void on_interrupt(int signal_number) {
    if (interrupt_victim_set != 0) unlink(interrupt_victim);
    _exit(128 + signal_number);
}

}  // namespace

void prepare_process() {
    // Beyond the file size limit a write fails and is reported like any other.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, nullptr);
    struct sigaction action {};
    action.sa_handler = on_interrupt;
    action.sa_mask = interrupt_signals();
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal_number, &action, nullptr);
    }
}

void write_console(std::string_view text) {
    write_all(File{STDOUT_FILENO}, std::as_bytes(std::span(text)));
}

bool open_input(const std::string& name, File& file) {
    const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info = {};
    if (fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        close(fd);
        return false;
    }
    file.handle = fd;
    return true;
}

bool create_output(const std::string& name, File& file) {
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    file.handle = fd;
    return true;
}

bool is_input_file(File input, const std::string& name) {
    struct stat in = {};
    struct stat out = {};
    if (fstat(fd_of(input), &in) != 0 || stat(name.c_str(), &out) != 0) return false;
    return S_ISREG(in.st_mode) && in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

std::string resolve_link(const std::string& name) {
    struct stat info = {};
    if (lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return name;
    char* real = realpath(name.c_str(), nullptr);
    if (real == nullptr) return name;
    std::string resolved(real);
    std::free(real);
    return resolved;
}

bool create_temporary_beside(const std::string& target, File& file, std::string& temporary_name) {
    const std::size_t slash = target.rfind('/');
    const std::string folder =
        slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string pattern = folder + ".zeilfuge-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    const int fd = mkstemp(buffer.data());
    if (fd < 0) return false;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    file.handle = fd;
    temporary_name = buffer.data();
    return true;
}

void copy_permissions(File from, File to) {
    struct stat info = {};
    if (fstat(fd_of(from), &info) == 0) fchmod(fd_of(to), info.st_mode & 07777);
}

bool is_regular_file(File file) {
    struct stat info = {};
    return fstat(fd_of(file), &info) == 0 && S_ISREG(info.st_mode);
}

std::ptrdiff_t read_some(File file, std::span<std::byte> buffer) {
    for (;;) {
        const ssize_t n = read(fd_of(file), buffer.data(), buffer.size());
        if (n >= 0 || errno != EINTR) return n;
    }
}

bool write_all(File file, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd_of(file), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

bool flush_to_disk(File file) {
    return fsync(fd_of(file)) == 0;
}

bool close_file(File& file) {
    if (file.handle < 0) return true;
    const int result = close(fd_of(file));
    file.handle = -1;
    return result == 0;
}

bool replace_file(const std::string& source, const std::string& target) {
    return rename(source.c_str(), target.c_str()) == 0;
}

void remove_file(const std::string& name) {
    unlink(name.c_str());
}

void remove_on_interrupt(const std::string& name) {
    interrupt_victim_set = 0;
    if (name.empty() || name.size() >= sizeof interrupt_victim) return;
    std::memcpy(interrupt_victim, name.c_str(), name.size() + 1);
    interrupt_victim_set = 1;
}

void hold_interrupts() {
    const sigset_t set = interrupt_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void release_interrupts() {
    const sigset_t set = interrupt_signals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace zeilfuge
