#include "notify.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "threads.h"

namespace bassx::notify {
namespace {

struct Registration {
    ENCODENOTIFYPROC* proc;
    void* user;
};

struct State {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::pair<DWORD, DWORD>> queue;
    std::unordered_map<DWORD, Registration> procs;
    // Deaths of encoders without a callback yet; a notice that ends nothing is not kept.
    std::unordered_map<DWORD, std::vector<DWORD>> held;
    DWORD delivering = 0;
    bool running = false;
    std::thread::id threadId;  // of the running delivery thread
};

State& state() {
    static State* s = new State;  // the thread outlives static destruction
    return *s;
}

bool endsSomething(DWORD status) { return status < BASS_ENCODE_NOTIFY_CAST_TIMEOUT; }

// Runs while there is something to deliver, then ends: no engine thread lingers between
// notices.
void loop() {
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
        if (s.queue.empty()) {
            s.running = false;
            s.threadId = std::thread::id();
            return;
        }
        auto [enc, status] = s.queue.front();
        s.queue.pop_front();
        auto it = s.procs.find(enc);
        if (it == s.procs.end() || !it->second.proc) {
            // An encoder already freed will never register: its notice goes.
            if (endsSomething(status) && Registry::instance().get(enc)) {
                try {
                    auto& h = s.held[enc];
                    if (std::find(h.begin(), h.end(), status) == h.end()) h.push_back(status);
                } catch (const std::bad_alloc&) {
                    // Out of memory: this notice is lost, the thread and its waiters are not.
                }
            }
            continue;
        }
        Registration r = it->second;
        s.delivering = enc;
        lock.unlock();
        try {
            r.proc(enc, status, r.user);
        } catch (...) {
            // A callback's exception has nowhere to go on this thread.
        }
        lock.lock();
        s.delivering = 0;
        s.cv.notify_all();
    }
}

void ensureRunning(State& s) noexcept;

// A delivery thread that ended by an error hands what is queued to a new one.
void loopDied() noexcept {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.running = false;
    s.threadId = std::thread::id();
    s.delivering = 0;
    s.cv.notify_all();
    ensureRunning(s);
}

// With the lock held. A thread that cannot be started (no thread, or no memory for one)
// leaves the queue for the next try; nothing of it reaches the poster.
void ensureRunning(State& s) noexcept {
    if (s.running || s.queue.empty()) return;
    try {
        std::thread t = startThread(loop, loopDied);
        s.threadId = t.get_id();
        s.running = true;
        t.detach();
    } catch (...) {
    }
}

}  // namespace

bool set(const Object& encoder, ENCODENOTIFYPROC* proc, void* user) {
    State& s = state();
    const DWORD h = encoder.handle.load();
    std::lock_guard<std::mutex> lock(s.mutex);
    // forget() runs after the handle was removed (and the object released): a registration
    // seen here before it is erased by it, one after it is refused.
    if (encoder.released.load()) return false;
    if (!proc) {
        s.procs.erase(h);
        return true;
    }
    s.procs[h] = {proc, user};
    auto it = s.held.find(h);
    if (it != s.held.end()) {
        for (auto st = it->second.rbegin(); st != it->second.rend(); ++st) s.queue.emplace_front(h, *st);
        s.held.erase(it);
    }
    ensureRunning(s);
    return true;
}

void post(DWORD encoder, DWORD status) noexcept {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    try {
        s.queue.emplace_back(encoder, status);
    } catch (const std::bad_alloc&) {
        return;
    }
    ensureRunning(s);
}

void forget(DWORD encoder) {
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    s.procs.erase(encoder);
    s.held.erase(encoder);
    std::erase_if(s.queue, [&](const auto& q) { return q.first == encoder; });
    if (std::this_thread::get_id() != s.threadId)
        s.cv.wait(lock, [&] { return s.delivering != encoder; });
}

void forgetAll() {
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    s.procs.clear();
    s.held.clear();
    s.queue.clear();
    if (std::this_thread::get_id() != s.threadId) s.cv.wait(lock, [&] { return s.delivering == 0; });
}

bool onNotifyThread() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.running && std::this_thread::get_id() == s.threadId;
}

size_t held() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    size_t n = 0;
    for (const auto& [enc, list] : s.held) n += list.size();
    return n;
}

size_t queued() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.queue.size();
}

}  // namespace bassx::notify
