// One connection to a server, plain or TLS, behind one small interface: the handshakes and
// the link that carries the stream speak to it the same way whatever runs underneath.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "net.h"

namespace bassx::net {

class Transport {
public:
    virtual ~Transport() = default;
    // Non-blocking steps. send: bytes taken (> 0), 0 would block, -1 the connection failed.
    // recv: bytes (> 0), 0 would block, -1 closed by the peer or failed.
    virtual long send(const void* data, size_t len) = 0;
    virtual long recv(void* buf, size_t len) = 0;
    // What to poll the socket for after a step that would block (TLS may need either way).
    virtual short waitEvents() const = 0;
    virtual int fd() const = 0;
    virtual bool secure() const { return false; }
    virtual void close() = 0;
};

// What a plain socket connection is on every platform; each backend adds send and recv.
class PlainSocket : public Transport {
public:
    explicit PlainSocket(int fd) : fd_(fd) {}
    ~PlainSocket() override { closeFd(fd_); }
    short waitEvents() const override { return last_; }
    int fd() const override { return fd_; }
    void close() override { closeFd(fd_); }

protected:
    int fd_;
    short last_ = POLLIN;  // what the last step that would block waits for
};

// Takes over a connected non-blocking socket.
std::unique_ptr<Transport> plain(int fd);

// TLS 1.2 or newer over a connected non-blocking socket (taken over, closed on failure):
// SNI, the certificate chain and the host name verified. nullptr with err set to
// BASS_ERROR_CAST_CERT (verification), BASS_ERROR_CAST_TLS (no session), BASS_ERROR_TIMEOUT.
std::unique_ptr<Transport> tlsClient(int fd, const std::string& host, Deadline deadline, int& err,
                                     const std::atomic<bool>* cancel = nullptr);

// A connected transport to host:port, TLS when asked; nullptr with a BASS error code in err.
std::unique_ptr<Transport> open(const std::string& host, int port, bool tls, Deadline deadline, int& err,
                                const std::atomic<bool>* cancel = nullptr);

// Blocking with a deadline, as sendAll and recvSome on sockets: sends everything (false on
// error, timeout or cancel); receives bytes, 0 when the peer closed, -1 on error, -2 on timeout.
bool sendAll(Transport& t, const void* data, size_t len, Deadline deadline, const std::atomic<bool>* cancel = nullptr);
long recvSome(Transport& t, void* buf, size_t len, Deadline deadline, const std::atomic<bool>* cancel = nullptr);

}  // namespace bassx::net
