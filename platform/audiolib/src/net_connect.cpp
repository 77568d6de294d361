// Name lookup and connect with a deadline and a cancel, the same on every platform; the socket
// calls themselves are the platform backend's (net_os.h).
#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bass.h"
#include "fault_point.h"
#include "net.h"
#include "net_os.h"
#include "threads.h"

namespace bassx::net {
namespace {

std::atomic<LookupFn> lookupFn{&os::systemLookup};
std::atomic<ReleaseFn> releaseFn{&os::systemRelease};

// After RFC 8305: the next address is tried this long after the previous one unless that one
// failed first, so an address that never answers costs this much, not the whole deadline.
constexpr auto kStagger = std::chrono::milliseconds(250);
// The longest wait between looks at the cancel flag.
constexpr auto kCancelSlice = std::chrono::milliseconds(50);

// Name lookup has no deadline and no cancel of its own: it runs on a thread of its own, and a
// lookup that outlives the deadline or the cancel is abandoned (it finishes and cleans up by
// itself). A lookup thread that ends by an error says so at once: the connect fails then with
// BASS_ERROR_MEM instead of waiting out its deadline for an answer that never comes.
struct Lookup {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    bool died = false;
    int rc = 0;
    addrinfo* res = nullptr;
    ReleaseFn release = nullptr;  // the lookup's own
    ~Lookup() {
        if (res) release(res);
    }
};

// Owns a lookup's result.
struct Addresses {
    addrinfo* list = nullptr;
    ReleaseFn release = nullptr;
    Addresses() = default;
    Addresses(addrinfo* l, ReleaseFn r) : list(l), release(r) {}
    Addresses(const Addresses&) = delete;
    Addresses& operator=(const Addresses&) = delete;
    ~Addresses() {
        if (list) release(list);
    }
};

// The addresses of host in the resolver's order, or none with err set.
Addresses resolve(const std::string& host, int port, Deadline deadline, int& err, const std::atomic<bool>* cancel) {
    auto job = std::make_shared<Lookup>();
    std::string service = std::to_string(port);
    LookupFn lookup = lookupFn.load();
    job->release = releaseFn.load();
    startThread(
        [job, host, service, lookup] {
            faults::check(faults::NameLookup);
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
        },
        [job] {
            std::lock_guard<std::mutex> lock(job->mutex);
            job->died = job->done = true;
            job->cv.notify_all();
        })
        .detach();
    std::unique_lock<std::mutex> lock(job->mutex);
    // Short slices, so that a cancel is seen quickly.
    while (!job->done) {
        auto now = std::chrono::steady_clock::now();
        if ((cancel && cancel->load()) || now >= deadline) {
            err = BASS_ERROR_TIMEOUT;
            return {};
        }
        job->cv.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(50)));
    }
    if (job->died) {
        err = BASS_ERROR_MEM;
        return {};
    }
    if (job->rc != 0 || !job->res) {
        err = BASS_ERROR_NONET;
        return {};
    }
    return {std::exchange(job->res, nullptr), job->release};
}

// Connects to the first of the addresses that answers, trying them in connectOrder, each next
// one kStagger after the previous or at once when one failed; the losers are closed. err as for
// connectTo: a timeout when the deadline or the cancel ended it, else the addresses refused.
int race(const addrinfo* list, Deadline deadline, int& err, const std::atomic<bool>* cancel) {
    const std::vector<const addrinfo*> order = connectOrder(list);
    size_t tried = 0;
    using Clock = std::chrono::steady_clock;
    std::vector<int> underWay;
    auto end = [&](int winner, int code) {
        for (int& fd : underWay) closeFd(fd);
        err = code;
        return winner;
    };
    Clock::time_point nextAt = Clock::now();
    for (;;) {
        auto now = Clock::now();
        if ((cancel && cancel->load()) || now >= deadline) return end(-1, BASS_ERROR_TIMEOUT);
        const bool more = tried < order.size();
        if (more && (now >= nextAt || underWay.empty())) {
            bool pending = false;
            int fd = os::startConnect(*order[tried++], pending);
            nextAt = now + kStagger;
            if (fd >= 0 && pending) {
                underWay.push_back(fd);
            } else if (fd >= 0 && os::finishConnect(fd)) {
                return end(fd, BASS_OK);
            } else {
                closeFd(fd);
                nextAt = now;
            }
            continue;
        }
        if (underWay.empty()) return end(-1, BASS_ERROR_FILEOPEN);
        auto until = std::min(deadline, now + kCancelSlice);
        if (more) until = std::min(until, nextAt);
        auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
        int i = os::waitConnects(underWay.data(), underWay.size(), static_cast<int>(ms));
        if (i < 0) continue;
        int fd = underWay[static_cast<size_t>(i)];
        underWay.erase(underWay.begin() + i);
        if (os::finishConnect(fd)) return end(fd, BASS_OK);
        closeFd(fd);
        nextAt = Clock::now();
    }
}

}  // namespace

std::vector<const addrinfo*> connectOrder(const addrinfo* list) {
    // Each family in the resolver's order; the first answer's family leads.
    std::vector<const addrinfo*> first, other;
    for (const addrinfo* a = list; a; a = a->ai_next) (a->ai_family == list->ai_family ? first : other).push_back(a);
    std::vector<const addrinfo*> order;
    order.reserve(first.size() + other.size());
    for (size_t i = 0; i < std::max(first.size(), other.size()); ++i) {
        if (i < first.size()) order.push_back(first[i]);
        if (i < other.size()) order.push_back(other[i]);
    }
    return order;
}

int connectTo(const std::string& host, int port, Deadline deadline, int& err, const std::atomic<bool>* cancel) {
    if (!os::socketsReady()) {
        err = BASS_ERROR_NONET;
        return -1;
    }
    Addresses found = resolve(host, port, deadline, err, cancel);
    if (!found.list) return -1;
    return race(found.list, deadline, err, cancel);
}

void setLookupForTests(LookupFn fn, ReleaseFn release) {
    releaseFn.store(fn && release ? release : &os::systemRelease);
    lookupFn.store(fn ? fn : &os::systemLookup);
}

}  // namespace bassx::net
