// LockedFile and the directory sync on POSIX systems: flock for the lock (released by close,
// also when the process dies), O_APPEND so that concurrent appenders never overwrite each
// other, fsync for durability.
#include "fs/Durable.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

namespace quillon {

namespace {
[[noreturn]] void Fail(int error, const std::string& path) {
    throw std::system_error(error, std::generic_category(), path);
}
}  // namespace

LockedFile::LockedFile(const std::string& path, bool create) : path_(path) {
    const int flags = O_RDWR | O_APPEND | O_CLOEXEC | (create ? O_CREAT : 0);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) Fail(errno, path);
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        const int error = errno;
        ::close(fd);
        Fail(error, path);
    }
    fd_ = fd;
}

LockedFile::LockedFile(const std::string& path, bool create, const std::function<bool()>& cancelled) : path_(path) {
    const int flags = O_RDWR | O_APPEND | O_CLOEXEC | (create ? O_CREAT : 0);
    const int fd = ::open(path.c_str(), flags, 0666);
    if (fd < 0) Fail(errno, path);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
        int error = errno;
        if (error == EWOULDBLOCK || error == EINTR) {
            if (!cancelled || !cancelled()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            error = ECANCELED;
        }
        ::close(fd);
        Fail(error, path);
    }
    fd_ = fd;
}

std::unique_ptr<LockedFile> LockedFile::TryOpen(const std::string& path, int waitMs) {
    const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_CREAT, 0666);
    if (fd < 0) Fail(errno, path);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return std::unique_ptr<LockedFile>(new LockedFile(path, std::intptr_t{fd}));
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(fd);
    return nullptr;
}

LockedFile::~LockedFile() {
    if (fd_ >= 0) ::close(static_cast<int>(fd_));
}

std::string LockedFile::ReadAll() {
    std::string text;
    char buffer[8192];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(static_cast<int>(fd_), buffer, sizeof buffer, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail(errno, path_);
        if (n == 0) return text;
        text.append(buffer, static_cast<std::size_t>(n));
        offset += n;
    }
}

std::string LockedFile::ReadTail(std::size_t n) {
    const std::uint64_t size = Size();
    const std::uint64_t from = size > n ? size - n : 0;
    std::string text(static_cast<std::size_t>(size - from), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t got = ::pread(static_cast<int>(fd_), text.data() + done, text.size() - done, static_cast<off_t>(from + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) Fail(errno, path_);
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    text.resize(done);
    return text;
}

std::uint64_t LockedFile::Size() {
    struct stat st {};
    if (::fstat(static_cast<int>(fd_), &st) != 0) Fail(errno, path_);
    return static_cast<std::uint64_t>(st.st_size);
}

void LockedFile::AppendSynced(std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(static_cast<int>(fd_), data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) Fail(errno, path_);
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    while (::fsync(static_cast<int>(fd_)) != 0)
        if (errno != EINTR) Fail(errno, path_);
}

void SyncDirectoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) Fail(errno, dir);
    int error = 0;
    while (::fsync(fd) != 0) {
        if (errno == EINTR) continue;
        error = errno;
        break;
    }
    ::close(fd);
    if (error != 0) Fail(error, dir);
}

}  // namespace quillon
