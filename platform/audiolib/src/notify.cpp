#include "notify.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

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
    DWORD delivering = 0;
    bool running = false;
    std::thread::id threadId;  // of the running delivery thread
};

State& state() {
    static State* s = new State;  // the thread outlives static destruction
    return *s;
}

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
        if (it == s.procs.end() || !it->second.proc) continue;
        Registration r = it->second;
        s.delivering = enc;
        lock.unlock();
        r.proc(enc, status, r.user);
        lock.lock();
        s.delivering = 0;
        s.cv.notify_all();
    }
}

}  // namespace

void set(DWORD encoder, ENCODENOTIFYPROC* proc, void* user) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (proc)
        s.procs[encoder] = {proc, user};
    else
        s.procs.erase(encoder);
}

void post(DWORD encoder, DWORD status) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.queue.emplace_back(encoder, status);
    if (!s.running) {
        s.running = true;
        std::thread t = startThread(loop);
        s.threadId = t.get_id();
        t.detach();
    }
}

void forget(DWORD encoder) {
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    s.procs.erase(encoder);
    std::erase_if(s.queue, [&](const auto& q) { return q.first == encoder; });
    if (std::this_thread::get_id() != s.threadId)
        s.cv.wait(lock, [&] { return s.delivering != encoder; });
}

void forgetAll() {
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    s.procs.clear();
    s.queue.clear();
    if (std::this_thread::get_id() != s.threadId) s.cv.wait(lock, [&] { return s.delivering == 0; });
}

bool onNotifyThread() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.running && std::this_thread::get_id() == s.threadId;
}

}  // namespace bassx::notify
