// Files and descriptors on POSIX: the standard streams, opening, reading and writing,
// metadata, and putting a file in place.
#include <fcntl.h>
#include <linux/magic.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "exit_codes.hpp"
#include "platform_posix.hpp"

// A 32-bit off_t fails fstat on files beyond 2 GiB, so an input that exists reads as missing.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace zeilfuge {

namespace posix {

namespace {

FileKind kind_of(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::regular;
    if (S_ISCHR(mode)) return FileKind::character_device;
    if (S_ISBLK(mode)) return FileKind::block_device;
    if (S_ISFIFO(mode)) return FileKind::fifo;
    if (S_ISDIR(mode)) return FileKind::directory;
    return FileKind::other;
}

}  // namespace

FileIdentity identity_of(const struct stat& info) {
    const FileKind kind = kind_of(info.st_mode);
    // A device is the same device through any of its nodes: known by its number.
    if (kind == FileKind::block_device || kind == FileKind::character_device) {
        return {static_cast<std::uint64_t>(info.st_rdev), 0, kind};
    }
    FileIdentity identity{static_cast<std::uint64_t>(info.st_dev),
                          static_cast<std::uint64_t>(info.st_ino), kind};
    identity.size = static_cast<std::uint64_t>(info.st_size);
    identity.modified = std::int64_t{info.st_mtim.tv_sec} * 1'000'000'000 + info.st_mtim.tv_nsec;
    identity.changed = 0;
    return identity;
}

}  // namespace posix

namespace {

using posix::fd_of;
using posix::folder_of;
using posix::identity_of;
using posix::open_name;
using posix::retry;

bool closed_at_start[3] = {};

bool set_blocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags != -1 &&
           ((flags & O_NONBLOCK) == 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0);
}

// Waits until a descriptor that doesn't wait itself (EAGAIN) can go on.
bool wait_for(int fd, short events) {
    struct pollfd wanted = {fd, events, 0};
    return retry([&] { return poll(&wanted, 1, -1); }) >= 0;
}

bool would_wait() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

bool stat_at(const Place& place, struct stat& info) {
    return retry([&] {
               return fstatat(folder_of(place), place.name.c_str(), &info, AT_SYMLINK_NOFOLLOW);
           }) == 0;
}

bool holds(const Place& place, const FileIdentity& expected) {
    struct stat now = {};
    return stat_at(place, now) && same_file(identity_of(now), expected);
}

// The name holds that file, and nothing was written to it since `expected` was taken.
bool holds_as_read(const Place& place, const FileIdentity& expected) {
    struct stat now = {};
    return stat_at(place, now) && unchanged(identity_of(now), expected);
}

// Renames with renameat2's flags: 1 done, 0 not supported here (FUSE, network file systems),
// -1 failed.
int rename_with(const Place& from, const Place& to, unsigned flags) {
    if (retry([&] {
            return renameat2(folder_of(from), from.name.c_str(), folder_of(to), to.name.c_str(),
                             flags);
        }) == 0) {
        return 1;
    }
    return errno == EINVAL || errno == ENOSYS || errno == ENOTSUP ? 0 : -1;
}

// Exchanges two names in one step.
int exchange(const Place& a, const Place& b) {
    return rename_with(a, b, RENAME_EXCHANGE);
}

constexpr const char* kAccessList = "system.posix_acl_access";

// The attributes of a file opened for reading, or, opened only to be told what it is
// (O_PATH), through its name in /proc.
std::string proc_name(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

ssize_t attribute_list(int fd, std::vector<char>& names) {
    const ssize_t n = flistxattr(fd, names.data(), names.size());
    if (n >= 0 || errno != EBADF) return n;
    return listxattr(proc_name(fd).c_str(), names.data(), names.size());
}

ssize_t attribute_size(int fd, const char* name, void* value, std::size_t size) {
    const ssize_t n = fgetxattr(fd, name, value, size);
    if (n >= 0 || errno != EBADF) return n;
    return getxattr(proc_name(fd).c_str(), name, value, size);
}

// Links a file made without a name under name in the place's folder: through the descriptor
// where the rights allow it, else through its name in /proc.
bool link_at(File file, const Place& place, const std::string& name) {
    if (linkat(fd_of(file), "", folder_of(place), name.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno == EEXIST) return false;
    return linkat(AT_FDCWD, proc_name(fd_of(file)).c_str(), folder_of(place), name.c_str(),
                  AT_SYMLINK_FOLLOW) == 0;
}

// Tries `make` on new `.zeilfuge-` names beside `beside` until one isn't taken.
template <class Make>
bool make_beside(const Place& beside, Place& temporary, Make make) {
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
        if (make(name)) {
            temporary.folder = beside.folder;
            temporary.name = std::move(name);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    return false;
}

}  // namespace

FileSystemKind file_system_of(File file) {
    struct statfs info = {};
    if (retry([&] { return fstatfs(fd_of(file), &info); }) != 0) return FileSystemKind::other;
    // Read as 32 bits: the field's type and sign differ between architectures.
    switch (static_cast<std::uint32_t>(info.f_type)) {
        case EXT4_SUPER_MAGIC:  // ext2 and ext3 as well
            return FileSystemKind::ext;
        case XFS_SUPER_MAGIC:
            return FileSystemKind::xfs;
        case BTRFS_SUPER_MAGIC:
            return FileSystemKind::btrfs;
        case TMPFS_MAGIC:
            return FileSystemKind::tmpfs;
        case RAMFS_MAGIC:
            return FileSystemKind::ramfs;
        case F2FS_SUPER_MAGIC:
            return FileSystemKind::f2fs;
        case 0x2fc12fc1:  // ZFS
            return FileSystemKind::zfs;
        case 0x65735546:  // FUSE: ntfs-3g, exfat-fuse, sshfs, bindfs
            return FileSystemKind::fuse;
        case OVERLAYFS_SUPER_MAGIC:
            return FileSystemKind::overlay;
        case NFS_SUPER_MAGIC:
        case SMB_SUPER_MAGIC:
        case 0xff534d42:  // CIFS
        case 0xfe534d42:  // SMB2
        case CODA_SUPER_MAGIC:
        case 0x6b414653:  // AFS
        case 0x00c36400:  // Ceph
        case 0x47504653:  // GPFS
        case 0x0bd00bd0:  // Lustre
        case V9FS_MAGIC:
            return FileSystemKind::network;
        case 0x5346544e:  // the kernel's own NTFS drivers
            return FileSystemKind::ntfs;
        default:
            return FileSystemKind::other;
    }
}

int last_error() {
    return errno;
}

bool access_denied(int error) {
    return error == EACCES || error == EPERM;
}

void prepare_process() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        // Left closed, the number would go to the first file opened, and a name such as
        // /dev/stdout would then mean that file. Where it can't be told, it counts as closed.
        closed_at_start[fd] = true;
        const int null = retry([] { return open("/dev/null", O_RDWR); });
        if (null != fd && (null < 0 || dup2(null, fd) != fd)) _exit(exit_code(RunEnd::failed));
        if (null != fd) close(null);
    }
    // Beyond the file size limit a write fails and is reported like any other.
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, nullptr);
}

File standard_file(int number) {
    return File{number};
}

bool standard_closed(int number) {
    return number <= 2 && closed_at_start[number];
}

bool descriptor_given(int number) {
    if (number <= 2) return !closed_at_start[number];
    return fcntl(number, F_GETFD) != -1;
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
    wait_for(fd, POLLIN);
    set_blocking(fd);
}

bool open_for_writing(const Place& place, File& file) {
    const auto open_there = [&](int flags) {
        return retry([&] {
            return openat(folder_of(place), place.name.c_str(),
                          O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC | flags);
        });
    };
    int fd = open_there(O_NONBLOCK);
    if (fd < 0 && errno == ENXIO) {
        // A FIFO without a reader. Waiting for one, the open creates nothing, so an interrupt
        // may end the run at once.
        release_interrupts();
        fd = open_there(0);
        const int error = errno;
        hold_interrupts();
        errno = error;
    }
    if (fd < 0) return false;
    file.handle = fd;
    return true;
}

bool may_write(const Place& place, File /*file*/) {
    return retry([&] {
               return faccessat(folder_of(place), place.name.c_str(), W_OK,
                                AT_EACCESS | AT_SYMLINK_NOFOLLOW);
           }) == 0;
}

// An exchange that went wrong is exchanged back: the result is never the only copy.
bool left_aside(Place& /*result*/) {
    return false;
}

// A name can always go on POSIX, whoever holds the file open.
bool replaceable(const Place& /*place*/) {
    return true;
}

unsigned creation_mode(File file) {
    struct stat info = {};
    if (retry([&] { return fstat(fd_of(file), &info); }) != 0) return 0600;
    // With an access list the group bits are its mask, which may say more than the group
    // itself may: the others' bits wait for the list.
    char value[1];
    const bool listed = attribute_size(fd_of(file), kAccessList, value, 0) >= 0;
    return info.st_mode & (listed ? 0700U : 0777U);
}

// Twice the size is mapped and all but an aligned region given back: mmap itself only
// promises 4 KiB alignment.
std::byte* map_region(std::size_t size) {
    void* const mapped =
        mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto* const first = static_cast<std::byte*>(mapped);
    const auto address = reinterpret_cast<std::uintptr_t>(first);
    const std::size_t before = (size - address % size) % size;
    if (before != 0) munmap(first, before);
    std::byte* const region = first + before;
    munmap(region + size, size - before);
    // Where huge pages are off or advice isn't taken, the region works on 4 KiB pages.
    madvise(region, size, MADV_HUGEPAGE);
    return region;
}

void unmap_region(std::byte* region, std::size_t size) {
    munmap(region, size);
}

void forget_cached(File file) {
    posix_fadvise(fd_of(file), 0, 0, POSIX_FADV_DONTNEED);
}

Creation create_unnamed(const Place& beside, unsigned mode, bool exact, File& file) {
#ifdef O_TMPFILE
    const mode_t mask = exact ? umask(0) : 0;
    const int fd = retry([&] {
        return openat(folder_of(beside), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC,
                      static_cast<mode_t>(mode));
    });
    const int error = errno;
    if (exact) umask(mask);
    if (fd >= 0) {
        file.handle = fd;
        return Creation::made;
    }
    errno = error;
    return error == EOPNOTSUPP || error == EISDIR || error == EINVAL ? Creation::unsupported
                                                                     : Creation::failed;
#else
    errno = EOPNOTSUPP;
    return Creation::unsupported;
#endif
}

bool create_beside(const Place& beside, unsigned mode, bool exact, File& file, Place& temporary) {
    const mode_t mask = exact ? umask(0) : 0;
    const bool made = make_beside(beside, temporary, [&](const std::string& name) {
        const int fd = retry([&] {
            return openat(folder_of(beside), name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(mode));
        });
        if (fd >= 0) file.handle = fd;
        return fd >= 0;
    });
    const int error = errno;
    if (exact) umask(mask);
    errno = error;
    return made;
}

bool name_beside(File file, const Place& beside, Place& temporary) {
    return make_beside(beside, temporary,
                       [&](const std::string& name) { return link_at(file, beside, name); });
}

bool rename_new(const Place& from, const Place& to) {
    const int renamed = rename_with(from, to, RENAME_NOREPLACE);
    if (renamed != 0) return renamed == 1;
    // Not at once here (FUSE, network file systems): the name is checked first, and a file
    // saved under it between the check and the rename is lost.
    struct stat there = {};
    if (stat_at(to, there)) {
        errno = EEXIST;
        return false;
    }
    if (errno != ENOENT) return false;
    return retry([&] {
               return renameat(folder_of(from), from.name.c_str(), folder_of(to), to.name.c_str());
           }) == 0;
}

bool give_name(File file, const Place& place) {
    return link_at(file, place, place.name);
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

bool truncate_file(File file) {
    // ext4 takes a truncation to length 0 as a file being replaced, and starts writing all
    // of its data back when it is closed: the close of a fresh output waited that long.
    struct stat info = {};
    if (retry([&] { return fstat(fd_of(file), &info); }) == 0 && info.st_size == 0) return true;
    return retry([&] { return ftruncate(fd_of(file), 0); }) == 0;
}

MetadataFailure copy_metadata(File from, File to, bool final) {
    const int in = fd_of(from);
    const int out = fd_of(to);
    const auto failed = [](MetadataPart part) { return MetadataFailure{part, errno}; };
    struct stat info = {};
    struct stat made = {};
    if (retry([&] { return fstat(in, &info); }) != 0) return failed(MetadataPart::source);
    if (retry([&] { return fstat(out, &made); }) != 0) return failed(MetadataPart::owner);
    // The owner first: a change of owner clears the set-ID bits and file capabilities. A
    // file system that can't change owners (ENOSYS, EOPNOTSUPP) may show the right one
    // already; what counts is what the file shows in the end.
    if ((made.st_uid != info.st_uid || made.st_gid != info.st_gid) &&
        retry([&] { return fchown(out, info.st_uid, info.st_gid); }) != 0 && errno != ENOSYS &&
        errno != EOPNOTSUPP) {
        return failed(MetadataPart::owner);
    }

    std::vector<char> names(1024);
    ssize_t listed;
    while ((listed = attribute_list(in, names)) < 0 && errno == ERANGE)
        names.resize(names.size() * 4);
    if (listed < 0 && errno != ENOTSUP) return failed(MetadataPart::source);
    bool has_access_list = false;
    std::vector<char> value(4096);
    const auto copy = [&](const char* name) {
        ssize_t size;
        while ((size = attribute_size(in, name, value.data(), value.size())) < 0 && errno == ERANGE)
            value.resize(value.size() * 4);
        if (size < 0) return -1;
        return fsetxattr(out, name, value.data(), static_cast<std::size_t>(size), 0) == 0 ? 1 : 0;
    };
    for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(std::strlen(&names[at])) + 1) {
        const char* name = &names[at];
        const bool access_list = std::strcmp(name, kAccessList) == 0;
        has_access_list |= access_list;
        // Other attributes (a security label, say) go where the rights allow.
        const int copied = copy(name);
        if (access_list && copied < 0) return failed(MetadataPart::source);
        if (access_list && copied == 0) return failed(MetadataPart::access_list);
    }
    // ntfs-3g keeps the DOS attributes (hidden, system) and the creation time outside the
    // list, under names of their own. Read-only among them would stop the writing.
    if (final) {
        for (const char* name : {"system.ntfs_crtime_be", "system.ntfs_attrib_be"})
            copy(name);
    }
    // A list inherited from the folder would give others access the input didn't.
    if (!has_access_list && fremovexattr(out, kAccessList) != 0 && errno != ENODATA &&
        errno != ENOTSUP) {
        return failed(MetadataPart::access_list);
    }
    if (retry([&] { return fstat(out, &made); }) != 0) return failed(MetadataPart::permissions);
    if ((made.st_mode & 07777) != (info.st_mode & 07777) &&
        retry([&] { return fchmod(out, info.st_mode & 07777); }) != 0 && errno != ENOSYS &&
        errno != EOPNOTSUPP) {
        return failed(MetadataPart::permissions);
    }
    // The kernel may drop a set-group-ID bit silently, and a file system may ignore a
    // change: what holds is reported, not what was asked.
    if (retry([&] { return fstat(out, &made); }) != 0) return failed(MetadataPart::permissions);
    if (made.st_uid != info.st_uid || made.st_gid != info.st_gid) {
        return {MetadataPart::owner, EPERM};
    }
    if ((made.st_mode & 07777) != (info.st_mode & 07777)) return {MetadataPart::permissions, EPERM};
    return {};
}

std::ptrdiff_t read_some(File file, std::span<std::byte> buffer) {
    for (;;) {
        const ssize_t n = retry([&] { return read(fd_of(file), buffer.data(), buffer.size()); });
        if (n >= 0 || !would_wait() || !wait_for(fd_of(file), POLLIN)) return n;
    }
}

bool write_all(File file, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = retry([&] { return write(fd_of(file), bytes.data(), bytes.size()); });
        if (n < 0 && would_wait() && wait_for(fd_of(file), POLLOUT)) continue;
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

bool flush_to_disk(File file) {
    return retry([&] { return fsync(fd_of(file)); }) == 0;
}

bool flush_folder(const Place& place) {
    const int folder =
        retry([&] { return openat(folder_of(place), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
    if (folder < 0) return false;
    const bool flushed = retry([&] { return fsync(folder); }) == 0;
    close(folder);
    return flushed;
}

File duplicate_file(File file) {
    return File{fcntl(fd_of(file), F_DUPFD_CLOEXEC, 3)};
}

bool close_file(File& file) {
    if (file.handle < 0) return true;
    // Not retried: after an interrupted close the descriptor is gone all the same.
    const int result = close(fd_of(file));
    file.handle = -1;
    return result == 0;
}

bool replace_file(const Place& temporary, const Place& target, const FileIdentity& expected,
                  const FileIdentity& result, bool exchange_names) {
    const int exchanged = exchange_names ? exchange(temporary, target) : 0;
    if (exchanged == 0) {
        // No exchange here (FUSE, network file systems, or not asked for): the name is
        // checked, then replaced; a file saved under it between the two is lost.
        return holds_as_read(target, expected) &&
               retry([&] {
                   return renameat(folder_of(temporary), temporary.name.c_str(), folder_of(target),
                                   target.name.c_str());
               }) == 0;
    }
    if (exchanged < 0) return false;
    // The old file is now under the temporary name. Anything else there was saved under the
    // target's name by another program meanwhile, and the old file written to since it was
    // read is another program's work too: either gets its name back.
    if (holds_as_read(temporary, expected) &&
        retry([&] { return unlinkat(folder_of(temporary), temporary.name.c_str(), 0); }) == 0) {
        return true;
    }
    // Exchanged back as soon as the target's name holds the result again: a program that
    // keeps renaming may have moved it on meanwhile.
    const int error = errno;
    for (int attempt = 0; attempt < 1000 && !holds(temporary, result); ++attempt) {
        if (holds(target, result)) exchange(temporary, target);
    }
    errno = error;
    return false;
}

}  // namespace zeilfuge
