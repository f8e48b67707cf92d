// The one place where whole files are read and replaced: settings, BIN copies, saved images and
// the simulated chip. Every error leaves the target as it was and carries the system's reason
// (std::system_error with the errno value), so callers only choose how to word it.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <string>
#include <string_view>

namespace quillon {

// Writes data to path, by what is found there:
// - a regular file, or nothing: through a temporary file in the same directory and an atomic
//   rename; an existing file keeps its permission bits, a new one gets 0666 less the umask;
// - a symbolic link (also a dangling one): followed, so the link's target is written by these
//   rules and the link stays a link;
// - a character device, FIFO or socket: written directly, never replaced (so /dev/stdout works
//   and /dev/null stays a device);
// - a directory: refused with EISDIR.
// The temporary name never exceeds the directory's name length limit, whatever the name.
// cancelled (may be empty) is asked between chunks and after an interrupted write; when it
// says true the write stops with ECANCELED. Throws std::system_error (with the failing call's
// errno) when any step fails; a replaced file is then unchanged and no temporary file is left.
void WriteFileAtomically(const std::string& path, std::string_view data,
                         const std::function<bool()>& cancelled = {});

// What a path names, for messages and for refusing inputs that would block or never end:
// "" for a regular file (links followed), else "a directory", "a FIFO", "a socket",
// "a character device", "a block device". Throws std::system_error when stat fails.
std::string NonRegularKind(const std::string& path);

// True when both paths name one file (same device and inode, links followed). False when
// either does not exist.
bool SameFile(const std::string& a, const std::string& b);

// The whole content of the file at path, read to its end (pipes and growing files included).
// Throws std::system_error: the open's errno, EISDIR for a directory, EFBIG when more than
// maxSize bytes would be read, or the failing read's errno.
std::string ReadWholeFile(const std::string& path,
                          std::size_t maxSize = std::numeric_limits<std::size_t>::max());

// True when a file exists at path and may not be written: the process lacks write access,
// or the file carries no write permission bit at all (a read-only file in the Windows sense,
// which is refused even for a privileged user).
bool IsReadOnlyFile(const std::string& path);

// The system's reason text for an errno value ("No such file or directory").
std::string SystemReason(int error);

}  // namespace quillon
