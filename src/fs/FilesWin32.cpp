// The file layer on Windows: wide-character names from UTF-8, binary handles only, and the
// replace through a temporary file and MoveFileExW (a plain rename there refuses to replace an
// existing file), written through to the disk. Win32 error codes become errno values so that
// callers see the same reasons on every system.
#include "fs/Files.h"

#include "core/Win32.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

namespace quillon {

namespace {

using win32::ErrnoFromWin32;
using win32::Wide;

[[noreturn]] void ThrowErrno(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

[[noreturn]] void ThrowLastError(const std::string& what) { ThrowErrno(ErrnoFromWin32(GetLastError()), what); }

// Both separators count on Windows.
std::size_t LastSeparator(const std::string& path) { return path.find_last_of("/\\"); }

// A temporary name beside target: hidden by its leading dot and by its attribute, shortened so
// that its last component stays within the 255 characters NTFS allows.
std::string TempNameBeside(const std::string& target, const std::string& suffix) {
    const std::size_t slash = LastSeparator(target);
    const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::size_t room = 255 > suffix.size() + 1 ? 255 - suffix.size() - 1 : 1;
    // Cut on a character boundary: UTF-8 continuation bytes are 10xxxxxx.
    if (base.size() > room) {
        base.resize(room);
        while (!base.empty() && (static_cast<unsigned char>(base.back()) & 0xC0) == 0x80) base.pop_back();
        if (!base.empty() && (static_cast<unsigned char>(base.back()) & 0x80) != 0) base.pop_back();
    }
    return dir + "." + base + suffix;
}

struct Handle {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

// Writes all of data, asking cancelled between chunks. Returns 0 or the errno value.
int WriteChunks(HANDLE h, std::string_view data, const std::function<bool()>& cancelled) {
    constexpr std::size_t kChunk = 1u << 20;
    std::size_t done = 0;
    while (done < data.size()) {
        if (cancelled && cancelled()) return ECANCELED;
        const DWORD n = static_cast<DWORD>(std::min(kChunk, data.size() - done));
        DWORD written = 0;
        if (!WriteFile(h, data.data() + done, n, &written, nullptr)) return ErrnoFromWin32(GetLastError());
        done += written;
    }
    return cancelled && cancelled() ? ECANCELED : 0;
}

}  // namespace

bool IsReadOnlyFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
    return (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

namespace {

// What opening the path finds: FILE_TYPE_DISK for files and folders, FILE_TYPE_CHAR for devices
// (NUL, CON), FILE_TYPE_PIPE for named pipes; FILE_TYPE_UNKNOWN with the reason in GetLastError
// when it cannot be opened. The attributes cannot tell: NUL reports itself as an archive file.
DWORD FileTypeOf(const std::wstring& wide) {
    Handle h{CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    if (h.h == INVALID_HANDLE_VALUE) return FILE_TYPE_UNKNOWN;
    const DWORD type = GetFileType(h.h);
    SetLastError(ERROR_SUCCESS);
    return type;
}

}  // namespace

std::string NonRegularKind(const std::string& path) {
    const std::wstring wide = Wide(path);
    const DWORD type = FileTypeOf(wide);
    if (type == FILE_TYPE_CHAR) return "a character device";
    if (type == FILE_TYPE_PIPE) return "a FIFO";
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) ThrowLastError(path);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return "a directory";
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return "a character device";
    return {};
}

bool SameFile(const std::string& a, const std::string& b) {
    auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
        Handle h{CreateFileW(Wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
        return h.h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h.h, &info);
    };
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    if (!identify(a, ia) || !identify(b, ib)) return false;
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
           ia.nFileIndexLow == ib.nFileIndexLow;
}

const char* const kPathSeparators = "/\\";

PathStatus StatPath(const std::string& path) {
    PathStatus status;
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &data)) {
        status.error = ErrnoFromWin32(GetLastError());
        return status;
    }
    status.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    status.isRegular = !status.isDirectory && (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    if (status.isRegular) status.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    return status;
}

bool PathEntryExists(const std::string& path) {
    return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

int RemoveFile(const std::string& path) {
    const std::wstring wide = Wide(path);
    if (DeleteFileW(wide.c_str())) return 0;
    const int error = ErrnoFromWin32(GetLastError());
    // Windows refuses a folder as "access denied"; the reason is that it is a folder.
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EISDIR;
    return error;
}

int RenameFile(const std::string& from, const std::string& to) {
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : ErrnoFromWin32(GetLastError());
}

int CheckCreatableIn(const std::string& dir) {
    // Windows has no cheap access check for creating files: the folder must exist and be a
    // folder; a refused creation is reported when it happens.
    const PathStatus status = StatPath(dir.empty() ? "." : dir);
    if (status.error != 0) return status.error;
    return status.isDirectory ? 0 : ENOTDIR;
}

InputFile::InputFile(const std::string& path) : path_(path) {
    const std::wstring wide = Wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) ThrowErrno(EISDIR, path);
    HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) ThrowLastError(path);
    handle_ = reinterpret_cast<std::intptr_t>(h);
    LARGE_INTEGER size{};
    if (GetFileType(h) == FILE_TYPE_DISK && GetFileSizeEx(h, &size)) sizeHint_ = static_cast<std::uint64_t>(size.QuadPart);
}

InputFile::~InputFile() { CloseHandle(reinterpret_cast<HANDLE>(handle_)); }

std::size_t InputFile::read(void* buffer, std::size_t size) {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, want, &got, nullptr)) {
        // The writing end of a pipe closing is the end of the data, as on POSIX.
        if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
        ThrowLastError(path_);
    }
    return got;
}

void WriteFileInPlace(const std::string& path, const void* data, std::size_t size) {
    Handle h{CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr)};
    if (h.h == INVALID_HANDLE_VALUE) ThrowLastError(path);
    if (const int error = WriteChunks(h.h, std::string_view(static_cast<const char*>(data), size), {}); error != 0)
        ThrowErrno(error, path);
}

void WriteFileAtomically(const std::string& path, std::string_view data, Durability durability,
                         const std::function<bool()>& cancelled) {
    static std::atomic<unsigned> counter{0};
    if (path == "/dev/stdout") {
        // The name scripts use for standard output everywhere; Windows has no such file.
        std::fflush(stdout);
        if (const int error = WriteChunks(GetStdHandle(STD_OUTPUT_HANDLE), data, cancelled); error != 0)
            ThrowErrno(error, path);
        return;
    }
    const std::wstring target = Wide(path);
    const DWORD type = FileTypeOf(target);
    if (type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) {
        // A device (NUL, CON) or a named pipe is the destination itself: written, never replaced
        // and never flushed (devices refuse that).
        Handle h{CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             0, nullptr)};
        if (h.h == INVALID_HANDLE_VALUE) ThrowLastError(path);
        if (const int error = WriteChunks(h.h, data, cancelled); error != 0) ThrowErrno(error, path);
        return;
    }
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) ThrowErrno(EISDIR, path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) ThrowErrno(EACCES, path);

    std::wstring temp;
    Handle h;
    for (int attempt = 0; attempt < 100 && h.h == INVALID_HANDLE_VALUE; ++attempt) {
        temp = Wide(TempNameBeside(path, ".~" + std::to_string(GetCurrentProcessId()) + "." +
                                             std::to_string(counter++)));
        h.h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, nullptr);
        if (h.h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) ThrowLastError(path);
    }
    if (h.h == INVALID_HANDLE_VALUE) ThrowErrno(EEXIST, path);

    int error = WriteChunks(h.h, data, cancelled);
    const bool durable = durability == Durability::Durable;
    if (error == 0 && durable && !FlushFileBuffers(h.h)) error = ErrnoFromWin32(GetLastError());
    CloseHandle(h.h);
    h.h = INVALID_HANDLE_VALUE;
    if (error == 0 && cancelled && cancelled()) error = ECANCELED;
    if (error == 0) {
        // The new file takes the old one's attributes (less our hidden/temporary marks).
        DWORD keep = attributes == INVALID_FILE_ATTRIBUTES
                         ? FILE_ATTRIBUTE_NORMAL
                         : attributes & ~DWORD{FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY};
        if (keep == 0) keep = FILE_ATTRIBUTE_NORMAL;
        SetFileAttributesW(temp.c_str(), keep);
        const DWORD flags = MOVEFILE_REPLACE_EXISTING | (durable ? DWORD{MOVEFILE_WRITE_THROUGH} : DWORD{0});
        if (!MoveFileExW(temp.c_str(), target.c_str(), flags))
            error = ErrnoFromWin32(GetLastError());
    }
    if (error != 0) {
        DeleteFileW(temp.c_str());
        ThrowErrno(error, path);
    }
}

std::string ResolveLinks(const std::string& path) {
    // Symbolic links are rare on Windows and need privileges to make; the system resolves the
    // ones that exist when the file is opened by its final name.
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::canonical(PathFromUtf8(path), ec);
    if (ec) return path;
    const std::u8string utf8 = target.u8string();
    return std::string(utf8.begin(), utf8.end());
}

std::string ReadFileTail(const std::string& path, std::size_t n, std::uint64_t* size) {
    Handle file;
    file.h = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.h == INVALID_HANDLE_VALUE) ThrowLastError(path);
    LARGE_INTEGER length{};
    if (!GetFileSizeEx(file.h, &length)) ThrowLastError(path);
    const std::uint64_t total = static_cast<std::uint64_t>(length.QuadPart);
    const std::uint64_t from = total > n ? total - n : 0;
    std::string text;
    if (!win32::ReadRange(file.h, from, total, text)) ThrowLastError(path);
    if (size != nullptr) *size = total;
    return text;
}

int CreateNewFile(const std::string& path) {
    const HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
    if (h == INVALID_HANDLE_VALUE) return ErrnoFromWin32(GetLastError());
    CloseHandle(h);
    return 0;
}

}  // namespace quillon
