// Waiting on a database client's socket with WSAPoll (libpq's socket is a Winsock SOCKET).
#include "store/SocketWait.h"

#include <winsock2.h>

namespace quillon::store {

SocketWait WaitForSocket(int socket, bool forWrite, int timeoutMs) {
    if (socket < 0) return SocketWait::Failed;
    WSAPOLLFD fd{};
    fd.fd = static_cast<SOCKET>(socket);
    fd.events = forWrite ? POLLWRNORM : POLLRDNORM;
    const int rc = ::WSAPoll(&fd, 1, timeoutMs < 0 ? 0 : timeoutMs);
    if (rc > 0) return (fd.revents & POLLNVAL) ? SocketWait::Failed : SocketWait::Ready;
    if (rc == 0) return SocketWait::TimedOut;
    return SocketWait::Failed;
}

}  // namespace quillon::store
