// The words for a system error number that the store's file layer reports (errno on POSIX
// systems, GetLastError on Windows): "disk full", "read-only file system", "permission denied",
// or the system's own text. "" for 0. One file per system.
#pragma once

#include <string>

namespace quillon::store {

std::string SystemErrorReason(int code);
// The same words for the causes an operator can act on (disk full, read-only, permission
// denied); "" for any other number.
std::string KnownSystemErrorReason(int code);
// The calling thread's last system error number (errno, GetLastError()).
int LastSystemError();

}  // namespace quillon::store
