// Name lookup and connect with a deadline and a cancel, the same on every platform; the socket
// calls themselves are the platform backend's (net_os.h).
#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "bass.h"
#include "net.h"
#include "net_os.h"
#include "threads.h"

namespace bassx::net {
namespace {

std::atomic<LookupFn> lookupFn{&os::systemLookup};

// Name lookup has no deadline and no cancel of its own: it runs on a thread of its own, and a
// lookup that outlives the deadline or the cancel is abandoned (it finishes and cleans up by
// itself).
struct Lookup {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    int rc = 0;
    addrinfo* res = nullptr;
    ~Lookup() {
        if (res) ::freeaddrinfo(res);
    }
};

addrinfo* resolve(const std::string& host, int port, Deadline deadline, int& err, const std::atomic<bool>* cancel) {
    auto job = std::make_shared<Lookup>();
    std::string service = std::to_string(port);
    LookupFn lookup = lookupFn.load();
    startThread(
        [job, host, service, lookup] {
            addrinfo hints{};
            hints.ai_family = AF_UNSPEC;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo* res = nullptr;
            int rc = lookup(host.c_str(), service.c_str(), &hints, &res);
            std::lock_guard<std::mutex> lock(job->mutex);
            job->rc = rc;
            job->res = res;
            job->done = true;
            job->cv.notify_all();
        })
        .detach();
    std::unique_lock<std::mutex> lock(job->mutex);
    // Short slices, so that a cancel is seen quickly.
    while (!job->done) {
        auto now = std::chrono::steady_clock::now();
        if ((cancel && cancel->load()) || now >= deadline) {
            err = BASS_ERROR_TIMEOUT;
            return nullptr;
        }
        job->cv.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(50)));
    }
    if (job->rc != 0 || !job->res) {
        err = BASS_ERROR_NONET;
        return nullptr;
    }
    return std::exchange(job->res, nullptr);
}

}  // namespace

int connectTo(const std::string& host, int port, Deadline deadline, int& err, const std::atomic<bool>* cancel) {
    if (!os::socketsReady()) {
        err = BASS_ERROR_NONET;
        return -1;
    }
    addrinfo* res = resolve(host, port, deadline, err, cancel);
    if (!res) return -1;
    int fd = -1;
    err = BASS_ERROR_FILEOPEN;
    for (addrinfo* ai = res; ai && fd < 0; ai = ai->ai_next) fd = os::connectOne(*ai, deadline, err, cancel);
    ::freeaddrinfo(res);
    if (fd >= 0) err = BASS_OK;
    return fd;
}

void setLookupForTests(LookupFn fn) { lookupFn.store(fn ? fn : &os::systemLookup); }

}  // namespace bassx::net
