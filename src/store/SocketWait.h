// Waiting on a database client's socket for a bounded time: libpq hands out its socket so that a
// caller can wait with its own deadline instead of blocking inside the library. One file per
// system (poll on POSIX systems, WSAPoll on Windows).
#pragma once

namespace quillon::store {

enum class SocketWait { Ready, TimedOut, Failed };

// Waits until socket can be read (or written, when forWrite), or has an error or hang-up to
// report (which the caller then reads from the library), at most timeoutMs. Failed: the wait
// itself failed (a bad socket). TimedOut may come early (a signal): callers keep their own
// deadline and wait again.
SocketWait WaitForSocket(int socket, bool forWrite, int timeoutMs);

}  // namespace quillon::store
