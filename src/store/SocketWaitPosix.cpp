// Waiting on a database client's socket with poll(2).
#include "store/SocketWait.h"

#include <poll.h>

#include <cerrno>

namespace quillon::store {

SocketWait WaitForSocket(int socket, bool forWrite, int timeoutMs) {
    if (socket < 0) return SocketWait::Failed;
    pollfd fd{};
    fd.fd = socket;
    fd.events = forWrite ? POLLOUT : POLLIN;
    const int rc = ::poll(&fd, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (rc > 0) return (fd.revents & POLLNVAL) ? SocketWait::Failed : SocketWait::Ready;
    // A signal ends the wait early like a timeout; the caller looks at its own deadline again.
    if (rc == 0 || errno == EINTR) return SocketWait::TimedOut;
    return SocketWait::Failed;
}

}  // namespace quillon::store
