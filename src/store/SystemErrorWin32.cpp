// The system's error numbers in the words an operator reads when the store's file fails
// (Windows error codes, as SQLite reports them on this system).
#include "store/SystemError.h"

#include <windows.h>

namespace quillon::store {

std::string KnownSystemErrorReason(int code) {
    switch (static_cast<DWORD>(code)) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return "disk full";
    case ERROR_WRITE_PROTECT: return "read-only file system";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return "permission denied";
    default: return "";
    }
}

std::string SystemErrorReason(int code) {
    if (code == 0) return "";
    const std::string known = KnownSystemErrorReason(code);
    return known.empty() ? "system error " + std::to_string(code) : known;
}

int LastSystemError() { return static_cast<int>(GetLastError()); }

}  // namespace quillon::store
