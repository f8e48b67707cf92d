// Whole-file reads and temporary-file-and-rename writes on POSIX systems. The rename within one
// directory is what makes the swap atomic; reads go to the end instead of trusting the size, so
// that pipes and files that grow meanwhile cannot overrun a limit.
#include "fs/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <system_error>

namespace quillon {

namespace {

[[noreturn]] void ThrowErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

// The file that a write to path really lands in: symbolic links are followed so that a
// linked config.ini stays a link. A dangling or unresolvable link falls back to the path.
std::string ResolveTarget(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved) != nullptr) {
            return resolved;
        }
    }
    return path;
}

bool WriteAll(int fd, std::string_view data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string ReadWholeFile(const std::string& path, std::size_t maxSize) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) ThrowErrno(errno, path);
    struct stat st {};
    int error = 0;
    if (fstat(fd, &st) != 0) {
        error = errno;
    } else if (S_ISDIR(st.st_mode)) {
        error = EISDIR;
    }
    std::string data;
    if (error == 0 && S_ISREG(st.st_mode))
        data.reserve(static_cast<std::size_t>(std::min<std::uintmax_t>(static_cast<std::uintmax_t>(st.st_size),
                                                                        std::uintmax_t{maxSize} + 1)));
    char chunk[65536];
    while (error == 0) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0) {
            if (errno != EINTR) error = errno;
            continue;
        }
        if (n == 0) break;
        if (static_cast<std::size_t>(n) > maxSize - data.size()) {
            error = EFBIG;
            break;
        }
        data.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (error != 0) ThrowErrno(error, path);
    return data;
}

std::string SystemReason(int error) {
    return std::generic_category().message(error);
}

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

void WriteFileAtomically(const std::string& path, std::string_view data) {
    static std::atomic<unsigned> counter{0};
    const std::string target = ResolveTarget(path);

    struct stat existing {};
    const bool exists = stat(target.c_str(), &existing) == 0;
    if (exists && S_ISDIR(existing.st_mode)) {
        ThrowErrno(EISDIR, target);
    }

    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = target + ".~" + std::to_string(getpid()) + "." + std::to_string(counter++);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            ThrowErrno(errno, temp);
        }
    }
    if (fd < 0) {
        ThrowErrno(EEXIST, temp);
    }

    int error = 0;
    if (!WriteAll(fd, data)) {
        error = errno;
    } else if (exists && fchmod(fd, existing.st_mode & 07777) != 0) {
        error = errno;
    } else if (fsync(fd) != 0) {
        error = errno;
    }
    if (::close(fd) != 0 && error == 0) {
        error = errno;
    }
    if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        ::unlink(temp.c_str());
        ThrowErrno(error, target);
    }
}

}  // namespace quillon
