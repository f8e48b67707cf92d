// The one place where whole files are read and replaced: settings, BIN copies, saved images and
// the simulated chip. Every error leaves the target as it was and carries the system's reason
// (std::system_error with the errno value), so callers only choose how to word it.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <string_view>

namespace quillon {

// Writes data to path through a temporary file in the same directory and an atomic rename.
// A symbolic link at path is followed, so the link's target is replaced, not the link.
// An existing file keeps its permission bits; a new one gets 0666 less the umask.
// Throws std::system_error (with the failing call's errno) when any step fails; the file at
// path is then unchanged and no temporary file is left behind.
void WriteFileAtomically(const std::string& path, std::string_view data);

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
