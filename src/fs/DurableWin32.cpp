// LockedFile and the directory sync on Windows: LockFileEx over the whole file for the lock
// (released by the close, also when the process dies), appends at the end under that lock,
// FlushFileBuffers for durability. NTFS journals its directory changes, and the replace goes
// through MoveFileExW with write-through, so the directory needs no sync of its own.
#include "fs/Durable.h"

#include <windows.h>

#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>

#include "core/Win32.h"

namespace quillon {

namespace {
[[noreturn]] void Fail(int error, const std::string& path) {
    throw std::system_error(error, std::generic_category(), path);
}
HANDLE H(std::intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }
}  // namespace

LockedFile::LockedFile(const std::string& path, bool create) : path_(path) {
    HANDLE h = CreateFileW(win32::Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) Fail(win32::LastErrno(), path);
    OVERLAPPED whole{};
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        const int error = win32::LastErrno();
        CloseHandle(h);
        Fail(error, path);
    }
    fd_ = reinterpret_cast<std::intptr_t>(h);
}

LockedFile::LockedFile(const std::string& path, bool create, const std::function<bool()>& cancelled) : path_(path) {
    HANDLE h = CreateFileW(win32::Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) Fail(win32::LastErrno(), path);
    for (;;) {
        OVERLAPPED whole{};
        if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)) break;
        int error = ECANCELED;
        if (GetLastError() != ERROR_LOCK_VIOLATION) error = win32::LastErrno();
        else if (!cancelled || !cancelled()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        CloseHandle(h);
        Fail(error, path);
    }
    fd_ = reinterpret_cast<std::intptr_t>(h);
}

std::unique_ptr<LockedFile> LockedFile::TryOpen(const std::string& path, int waitMs) {
    HANDLE h = CreateFileW(win32::Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) Fail(win32::LastErrno(), path);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        OVERLAPPED whole{};
        if (LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole))
            return std::unique_ptr<LockedFile>(new LockedFile(path, reinterpret_cast<std::intptr_t>(h)));
        if (GetLastError() != ERROR_LOCK_VIOLATION || std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    CloseHandle(h);
    return nullptr;
}

LockedFile::~LockedFile() {
    if (fd_ != -1) CloseHandle(H(fd_));
}

std::string LockedFile::ReadAll() { return ReadTail(static_cast<std::size_t>(Size())); }

std::string LockedFile::ReadTail(std::size_t n) {
    const std::uint64_t size = Size();
    const std::uint64_t from = size > n ? size - n : 0;
    std::string text;
    if (!win32::ReadRange(H(fd_), from, size, text)) Fail(win32::LastErrno(), path_);
    return text;
}

std::uint64_t LockedFile::Size() {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(H(fd_), &size)) Fail(win32::LastErrno(), path_);
    return static_cast<std::uint64_t>(size.QuadPart);
}

void LockedFile::AppendSynced(std::string_view data) {
    while (!data.empty()) {
        // Offset 0xFFFFFFFF:0xFFFFFFFF writes at the end of the file.
        OVERLAPPED end{};
        end.Offset = 0xFFFFFFFF;
        end.OffsetHigh = 0xFFFFFFFF;
        DWORD written = 0;
        if (!WriteFile(H(fd_), data.data(), static_cast<DWORD>(data.size()), &written, &end))
            Fail(win32::LastErrno(), path_);
        data.remove_prefix(written);
    }
    if (!FlushFileBuffers(H(fd_))) Fail(win32::LastErrno(), path_);
}

void SyncDirectoryOf(const std::string&) {}

}  // namespace quillon
