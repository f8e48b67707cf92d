// The system's error numbers in the words an operator reads when the store's file fails
// (POSIX errno values, as SQLite reports them on this system).
#include "store/SystemError.h"

#include <cerrno>
#include <cstring>

namespace quillon::store {

std::string KnownSystemErrorReason(int code) {
    switch (code) {
    case ENOSPC:
    case EFBIG:
    case EDQUOT: return "disk full";
    case EROFS: return "read-only file system";
    case EACCES:
    case EPERM: return "permission denied";
    default: return "";
    }
}

std::string SystemErrorReason(int code) {
    if (code == 0) return "";
    const std::string known = KnownSystemErrorReason(code);
    return known.empty() ? std::strerror(code) : known;
}

int LastSystemError() { return errno; }

}  // namespace quillon::store
