// Durable small writes for production records: a file held under an exclusive lock for the
// length of one update, appends that reach the disk before the call returns, and the directory
// sync that makes a rename survive a power cut. Declarations only; each system has its own file
// (DurablePosix.cpp, DurableWin32.cpp). Every call that fails throws std::system_error carrying the failing
// call's errno, with the path as its text.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace quillon {

// An open file with an exclusive advisory lock that lasts as long as the object. Other
// processes and other handles in this process that lock the same file wait for it.
class LockedFile {
public:
    // Opens path for reading and writing (creating it, mode 0666 less the umask, when create is
    // true) and waits for the lock. Throws std::system_error: the open's errno (ENOENT when it
    // is missing and create is false), or the lock's.
    LockedFile(const std::string& path, bool create);
    // Like LockedFile(path, create), but while another holder keeps the lock it asks cancelled
    // every 20 ms and gives up when that says true: throws std::system_error with ECANCELED.
    LockedFile(const std::string& path, bool create, const std::function<bool()>& cancelled);
    // Like LockedFile(path, true), but gives up when another holder keeps the lock for waitMs:
    // returns null then. Throws std::system_error when the file cannot be created or opened.
    static std::unique_ptr<LockedFile> TryOpen(const std::string& path, int waitMs);
    ~LockedFile();  // unlocks and closes; never throws
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    // The whole content from the first byte. Throws std::system_error with the read's errno.
    std::string ReadAll();
    // The last n bytes (fewer when the file is shorter). Throws std::system_error.
    std::string ReadTail(std::size_t n);
    // Size in bytes. Throws std::system_error with fstat's errno.
    std::uint64_t Size();
    // Writes data after the current end (all of it, retrying short writes) and waits until it is
    // on the disk. Throws std::system_error with the write's or fsync's errno; a failed append
    // may have left part of data behind.
    void AppendSynced(std::string_view data);

    const std::string& path() const { return path_; }

private:
    LockedFile(std::string path, std::intptr_t fd) : path_(std::move(path)), fd_(fd) {}

    std::string path_;
    std::intptr_t fd_ = -1;  // the system's handle (a descriptor, or a Windows HANDLE)
};

// Makes a completed rename or file creation in path's directory durable (fsync of the directory).
// Throws std::system_error with the open's or fsync's errno.
void SyncDirectoryOf(const std::string& path);

}  // namespace quillon
