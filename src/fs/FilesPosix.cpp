// Whole-file reads and temporary-file-and-rename writes on POSIX systems. The rename within one
// directory is what makes the swap atomic; reads go to the end instead of trusting the size, so
// that pipes and files that grow meanwhile cannot overrun a limit.
#include "fs/Files.h"
#include "fs/Durable.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

namespace quillon {

namespace {

[[noreturn]] void ThrowErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

// The file that a write to path really lands in: symbolic links are followed, one hop at a
// time so that a dangling link names the file to create, and a linked config.ini stays a link.
std::string ResolveTarget(const std::string& path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
        std::string link(static_cast<std::size_t>(PATH_MAX), '\0');
        const ssize_t n = ::readlink(current.c_str(), link.data(), link.size());
        if (n < 0) ThrowErrno(errno, current);
        link.resize(static_cast<std::size_t>(n));
        if (!link.empty() && link[0] != '/') {
            const std::size_t slash = current.rfind('/');
            if (slash != std::string::npos) link = current.substr(0, slash + 1) + link;
        }
        current = link;
    }
    ThrowErrno(ELOOP, path);
}

// A temporary name beside target whose last component fits the directory's limit: long
// target names are shortened for it, the suffix is kept whole.
std::string TempNameBeside(const std::string& target, const std::string& suffix) {
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    long limit = ::pathconf(dir.empty() ? "." : dir.c_str(), _PC_NAME_MAX);
    if (limit <= 0) limit = NAME_MAX;
    const std::size_t room = static_cast<std::size_t>(limit) > suffix.size() + 1
                                 ? static_cast<std::size_t>(limit) - suffix.size() - 1
                                 : 1;
    if (base.size() > room) base.resize(room);
    return dir + "." + base + suffix;
}

}  // namespace

bool IsReadOnlyFile(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return false;
    }
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        return true;
    }
    return access(path.c_str(), W_OK) != 0;
}

namespace {

// Writes all of data to fd in chunks, asking cancelled between them; a write that a signal
// interrupted is retried unless cancelled says stop. Returns 0 or the errno value.
int WriteChunks(int fd, std::string_view data, const std::function<bool()>& cancelled) {
    constexpr std::size_t kChunk = 1u << 20;
    std::size_t done = 0;
    while (done < data.size()) {
        if (cancelled && cancelled()) return ECANCELED;
        const std::size_t n = std::min(kChunk, data.size() - done);
        const ssize_t w = ::write(fd, data.data() + done, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<std::size_t>(w);
    }
    return cancelled && cancelled() ? ECANCELED : 0;
}

// Opens a device or FIFO for writing. A FIFO without a reader would block the open until one
// comes, beyond the reach of cancelled; so it is opened without blocking and tried again every
// 20 ms. Returns -1 with errno set on failure.
int OpenNode(const std::string& target, bool fifo, const std::function<bool()>& cancelled) {
    if (!fifo || !cancelled) return ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
    for (;;) {
        if (cancelled()) {
            errno = ECANCELED;
            return -1;
        }
        const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
            return fd;
        }
        if (errno != ENXIO && errno != EINTR) return -1;
        ::poll(nullptr, 0, 20);
    }
}

}  // namespace

std::string NonRegularKind(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) ThrowErrno(errno, path);
    if (S_ISREG(st.st_mode)) return {};
    if (S_ISDIR(st.st_mode)) return "a directory";
    if (S_ISFIFO(st.st_mode)) return "a FIFO";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    if (S_ISCHR(st.st_mode)) return "a character device";
    if (S_ISBLK(st.st_mode)) return "a block device";
    return "not a regular file";
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void WriteFileAtomically(const std::string& path, std::string_view data, Durability durability,
                         const std::function<bool()>& cancelled) {
    static std::atomic<unsigned> counter{0};
    // A node is opened by its own name: links such as /dev/stdout -> /proc/self/fd/1 -> "pipe:[N]"
    // name no path once resolved by hand.
    struct stat node {};
    const bool isNode = ::stat(path.c_str(), &node) == 0 && !S_ISREG(node.st_mode) && !S_ISDIR(node.st_mode);
    const std::string target = isNode ? path : ResolveTarget(path);

    struct stat existing {};
    const bool exists = stat(target.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        ThrowErrno(EISDIR, target);
    }
    if (exists && !S_ISREG(existing.st_mode)) {
        // A device or FIFO is the destination itself: replacing it would put a plain file where
        // the node was (as root, even /dev/null).
        const int fd = OpenNode(target, S_ISFIFO(existing.st_mode), cancelled);
        if (fd < 0) ThrowErrno(errno, target);
        int error = WriteChunks(fd, data, cancelled);
        if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
        if (error != 0) ThrowErrno(error, target);
        return;
    }

    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = TempNameBeside(target, ".~" + std::to_string(getpid()) + "." + std::to_string(counter++));
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            ThrowErrno(errno, target);
        }
    }
    if (fd < 0) {
        ThrowErrno(EEXIST, temp);
    }

    int error = WriteChunks(fd, data, cancelled);
    if (error == 0 && exists && fchmod(fd, existing.st_mode & 07777) != 0) {
        error = errno;
    } else if (error == 0 && durability == Durability::Durable && fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && cancelled && cancelled()) error = ECANCELED;
    if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temp.c_str());
        ThrowErrno(error, target);
    }
    // The data is on the disk already; what is left is the rename. A file system that cannot
    // sync a directory (some network ones refuse) keeps the file all the same, so a failure
    // here is not the caller's: the file has been replaced.
    if (durability == Durability::Durable) {
        try {
            SyncDirectoryOf(target);
        } catch (const std::system_error&) {
        }
    }
}

const char* const kPathSeparators = "/";

PathStatus StatPath(const std::string& path) {
    PathStatus status;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        status.error = errno;
        return status;
    }
    status.isDirectory = S_ISDIR(st.st_mode);
    status.isRegular = S_ISREG(st.st_mode);
    if (status.isRegular) status.size = static_cast<std::uint64_t>(st.st_size);
    return status;
}

bool PathEntryExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

int RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

int RenameFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int CheckCreatableIn(const std::string& dir) {
    return ::access(dir.empty() ? "." : dir.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

InputFile::InputFile(const std::string& path) : path_(path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) ThrowErrno(errno, path);
    struct stat st {};
    int error = 0;
    if (::fstat(fd, &st) != 0)
        error = errno;
    else if (S_ISDIR(st.st_mode))
        error = EISDIR;
    if (error != 0) {
        ::close(fd);
        ThrowErrno(error, path);
    }
    handle_ = fd;
    if (S_ISREG(st.st_mode)) sizeHint_ = static_cast<std::uint64_t>(st.st_size);
}

InputFile::~InputFile() { ::close(static_cast<int>(handle_)); }

std::size_t InputFile::read(void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(static_cast<int>(handle_), buffer, size);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) ThrowErrno(errno, path_);
    }
}

void WriteFileInPlace(const std::string& path, const void* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) ThrowErrno(errno, path);
    int error = WriteChunks(fd, std::string_view(static_cast<const char*>(data), size), {});
    if (::close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
    if (error != 0) ThrowErrno(error, path);
}

std::string ResolveLinks(const std::string& path) { return ResolveTarget(path); }

std::string ReadFileTail(const std::string& path, std::size_t n, std::uint64_t* size) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) ThrowErrno(errno, path);
    struct stat st {};
    const bool statFailed = ::fstat(fd, &st) != 0;
    if (statFailed || !S_ISREG(st.st_mode)) {
        const int error = statFailed ? errno : (S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
        ::close(fd);
        ThrowErrno(error, path);
    }
    const std::uint64_t total = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t from = total > n ? total - n : 0;
    std::string text(static_cast<std::size_t>(total - from), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t got = ::pread(fd, text.data() + done, text.size() - done, static_cast<off_t>(from + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            ThrowErrno(error, path);
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    ::close(fd);
    text.resize(done);
    if (size != nullptr) *size = total;
    return text;
}

int CreateNewFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

}  // namespace quillon
