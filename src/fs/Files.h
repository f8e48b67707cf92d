// The one place where files are read, replaced and looked at: settings, BIN copies, saved
// images, the simulated chip (locks and durable appends are in fs/Durable.h). Every error leaves
// the target as it was and carries the system's reason (std::system_error with the errno value),
// so callers only choose how to word it. Paths are UTF-8 on every system; the system's own
// differences (replace-on-rename, binary mode, wide-character names on Windows) stay behind
// these calls (FilesPosix.cpp, FilesWin32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

namespace quillon {

// How much a replaced file must survive. Either way a reader sees the old file or the new one,
// never a mix; the choice is whether the new content must be on the disk when the call returns.
enum class Durability {
    // Derived from an input that stays (hex2bin's OUT, the BIN copy beside a loaded HEX file):
    // not flushed, so a power cut soon after may cost the new content, which the same command
    // makes again. Flushing would cost more than the conversion itself.
    Rebuildable,
    // What cannot be made again (settings, a chip's read dump, production counters): the data
    // and then the rename are flushed to the disk before the call returns.
    Durable,
};

// Writes data to path, by what is found there:
// - a regular file, or nothing: through a temporary file in the same directory and an atomic
//   rename; an existing file keeps its permission bits, a new one gets 0666 less the umask;
// - a symbolic link (also a dangling one): followed, so the link's target is written by these
//   rules and the link stays a link;
// - a character device, FIFO or socket: written directly, never replaced (so /dev/stdout works
//   and /dev/null stays a device; on Windows "/dev/stdout" is the standard output handle too);
// - a directory: refused with EISDIR.
// The temporary name never exceeds the directory's name length limit, whatever the name.
// cancelled (may be empty) is asked between chunks and after an interrupted write; when it
// says true the write stops with ECANCELED. Throws std::system_error (with the failing call's
// errno) when any step fails; a replaced file is then unchanged and no temporary file is left.
// durability says whether the new content is flushed (devices and FIFOs are never flushed).
void WriteFileAtomically(const std::string& path, std::string_view data, Durability durability,
                         const std::function<bool()>& cancelled = {});

// What a path names, for messages and for refusing inputs that would block or never end:
// "" for a regular file (links followed), else "a directory", "a FIFO", "a socket",
// "a character device", "a block device". Throws std::system_error when stat fails.
std::string NonRegularKind(const std::string& path);

// True when both paths name one file (same device and inode, links followed). False when
// either does not exist.
bool SameFile(const std::string& a, const std::string& b);

// The whole content of a file in one block from AllocateLargeBlock (core/LargeBlock.h): the text
// of a big HEX file is read straight into it, with no copy through a string and no page filled
// before the read fills it.
class FileBlock {
public:
    std::string_view view() const { return {data_.get(), size_}; }
    std::size_t size() const { return size_; }

private:
    friend FileBlock ReadWholeFileBlock(const std::string& path, std::size_t maxSize);
    struct Free {
        void operator()(char* block) const noexcept;
    };
    std::unique_ptr<char[], Free> data_;
    std::size_t size_ = 0;
};

// The whole content of the file at path, read to its end (pipes and growing files included).
// Throws std::system_error: the open's errno, EISDIR for a directory, EFBIG when more than
// maxSize bytes would be read, or the failing read's errno; std::bad_alloc without memory.
FileBlock ReadWholeFileBlock(const std::string& path,
                             std::size_t maxSize = std::numeric_limits<std::size_t>::max());
// The same read, as a string (settings, counters, small files).
std::string ReadWholeFile(const std::string& path,
                          std::size_t maxSize = std::numeric_limits<std::size_t>::max());

// True when a file exists at path and may not be written: the process lacks write access,
// or the file carries no write permission bit at all (a read-only file in the Windows sense,
// which is refused even for a privileged user).
bool IsReadOnlyFile(const std::string& path);

// The system's reason text for an errno value ("No such file or directory").
std::string SystemReason(int error);

// The characters that end a directory name in a path: '/' everywhere, '\\' too on Windows.
extern const char* const kPathSeparators;

// What is at a path, links followed. Never throws.
struct PathStatus {
    int error = 0;  // 0, or why the path could not be looked at (ENOENT, ENOTDIR, EACCES, ...)
    bool isDirectory = false;
    bool isRegular = false;
    std::uint64_t size = 0;  // of a regular file
};
PathStatus StatPath(const std::string& path);

// True when a directory entry of that name exists, a dangling symbolic link included.
bool PathEntryExists(const std::string& path);

// 0 when new files may be created in dir ("" is the current directory), else the errno reason.
int CheckCreatableIn(const std::string& dir);

// Removes a file; renames one, replacing what is at to (on Windows too). Both return 0 or the
// errno reason.
int RemoveFile(const std::string& path);
int RenameFile(const std::string& from, const std::string& to);

// A path for std::filesystem and the standard streams from UTF-8 text (a std::string would be
// taken in the system's 8-bit code page on Windows).
std::filesystem::path PathFromUtf8(const std::string& utf8);

// A file opened for reading in binary mode, for code that keeps its own buffers.
class InputFile {
public:
    // Throws std::system_error: the open's errno, EISDIR for a directory.
    explicit InputFile(const std::string& path);
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // The size a regular file had when opened (0 for pipes and devices): a hint, not a limit.
    std::uint64_t sizeHint() const { return sizeHint_; }
    // Reads up to size bytes; returns 0 at the end. Throws std::system_error.
    std::size_t read(void* buffer, std::size_t size);

private:
    std::intptr_t handle_ = -1;
    std::uint64_t sizeHint_ = 0;
    std::string path_;
};

// Replaces the content of path in place (created when missing, truncated otherwise), for outputs
// that keep their place and permissions. Throws std::system_error.
void WriteFileInPlace(const std::string& path, const void* data, std::size_t size);

// The file a path finally names: symbolic links followed hop by hop (a dangling link gives the
// name it points at), so that every name of one file yields the same path. Throws
// std::system_error (ELOOP for a link cycle).
std::string ResolveLinks(const std::string& path);

// The last n bytes of a file (fewer when it is shorter), without reading what comes before,
// and its size. Throws std::system_error with the open's or read's errno.
std::string ReadFileTail(const std::string& path, std::size_t n, std::uint64_t* size = nullptr);

// Creates path as a new empty file, never opening one that exists. Returns 0, EEXIST when
// something is already there, or another errno reason.
int CreateNewFile(const std::string& path);


}  // namespace quillon
