// What every transport shares: opening one, and the blocking-with-deadline steps over it.
#include "transport.h"

namespace bassx::net {

std::unique_ptr<Transport> open(const std::string& host, int port, bool tls, Deadline deadline, int& err,
                                const std::atomic<bool>* cancel) {
    int fd = connectTo(host, port, deadline, err, cancel);
    if (fd < 0) return nullptr;
    if (!tls) return plain(fd);
    return tlsClient(fd, host, deadline, err, cancel);
}

bool sendAll(Transport& t, const void* data, size_t len, Deadline deadline, const std::atomic<bool>* cancel) {
    auto* p = static_cast<const char*>(data);
    while (len > 0) {
        long n = t.send(p, len);
        if (n < 0) return false;
        if (n == 0) {
            if (waitFor(t.fd(), t.waitEvents(), deadline, cancel) != 1) return false;
            continue;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

long recvSome(Transport& t, void* buf, size_t len, Deadline deadline, const std::atomic<bool>* cancel) {
    for (;;) {
        long n = t.recv(buf, len);
        if (n > 0) return n;
        if (n < 0) return 0;  // closed or failed: the answer ends here either way
        int w = waitFor(t.fd(), t.waitEvents(), deadline, cancel);
        if (w == 0) return -2;
        if (w < 0) return -1;
    }
}

}  // namespace bassx::net
