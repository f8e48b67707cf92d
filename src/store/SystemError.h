// The words for a system error number that the store's file layer reports (errno on POSIX
// systems, GetLastError on Windows): "disk full", "read-only file system", "permission denied",
// or the system's own text. "" for 0. One file per system.
#pragma once

#include <string>

namespace quillon::store {

std::string SystemErrorReason(int code);

}  // namespace quillon::store
