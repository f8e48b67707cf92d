// Replacing a file without ever leaving it half-written.
// The settings file and saved BIN images are written to a temporary file beside the target,
// flushed, and renamed over it, so a full disk or a crash leaves the old file intact.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

// Writes data to path through a temporary file in the same directory and an atomic rename.
// A symbolic link at path is followed, so the link's target is replaced, not the link.
// An existing file keeps its permission bits; a new one gets 0666 less the umask.
// Throws std::system_error (with the failing call's errno) when any step fails; the file at
// path is then unchanged and no temporary file is left behind.
void WriteFileAtomically(const std::string& path, std::string_view data);

// True when a file exists at path and may not be written: the process lacks write access,
// or the file carries no write permission bit at all (a read-only file in the Windows sense,
// which is refused even for a privileged user).
bool IsReadOnlyFile(const std::string& path);

// The system's reason text for an errno value ("No such file or directory").
std::string SystemReason(int error);

}  // namespace quillon
