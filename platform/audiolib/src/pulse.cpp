#include "pulse.h"

#include <signal.h>

#include <algorithm>

#include "threads.h"

namespace bassx {

PulseConnection::~PulseConnection() { close(); }

void PulseConnection::onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* d) {
    loopFence();
    auto* dl = static_cast<Deadline*>(d);
    dl->expired = true;
    pa_threaded_mainloop_signal(dl->loop, 0);
}

void PulseConnection::onState(pa_context*, void* self) { static_cast<PulseConnection*>(self)->signal(); }

bool PulseConnection::connect(const char* clientName, int timeoutMs) {
    close();
    unanswered_ = false;
    {
        std::lock_guard<std::mutex> guard(loopMutex_);
        if (interrupted_.load()) return false;
        loop_ = pa_threaded_mainloop_new();
    }
    if (!loop_) return false;
    ctx_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), clientName);
    if (!ctx_) {
        close();
        return false;
    }
    pa_context_set_state_callback(ctx_, &PulseConnection::onState, this);
    bool started;
    {
        SignalsBlocked blocked;  // the loop's thread must never take SIGPIPE for the host
        started = pa_threaded_mainloop_start(loop_) == 0;
    }
    if (!started) {
        close();
        return false;
    }
    loopFence();
    pa_threaded_mainloop_lock(loop_);
    bool ok = false;
    if (pa_context_connect(ctx_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) == 0) {
        auto settled = [&] {
            auto s = pa_context_get_state(ctx_);
            return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        };
        ok = waitLocked(settled, timeoutMs) && pa_context_get_state(ctx_) == PA_CONTEXT_READY;
    }
    pa_threaded_mainloop_unlock(loop_);
    if (!ok) close();
    return ok;
}

void PulseConnection::interrupt() {
    interrupted_.store(true);
    std::lock_guard<std::mutex> guard(loopMutex_);
    if (!loop_) return;
    pa_threaded_mainloop_lock(loop_);
    loopFence();
    pa_threaded_mainloop_signal(loop_, 0);
    pa_threaded_mainloop_unlock(loop_);
}

void PulseConnection::close() {
    std::lock_guard<std::mutex> guard(loopMutex_);
    if (loop_) {
        if (ctx_) {
            pa_threaded_mainloop_lock(loop_);
            pa_context_set_state_callback(ctx_, nullptr, nullptr);
            pa_context_disconnect(ctx_);
            pa_threaded_mainloop_unlock(loop_);
        }
        pa_threaded_mainloop_stop(loop_);
    }
    if (ctx_) pa_context_unref(ctx_);
    if (loop_) pa_threaded_mainloop_free(loop_);
    ctx_ = nullptr;
    loop_ = nullptr;
}

bool PulseConnection::waitOperation(pa_operation* op, int timeoutMs) {
    if (!op) return false;
    const int limit = unanswered_.load() ? std::min(timeoutMs, kPulseUnansweredMs) : timeoutMs;
    bool ok = waitLocked([&] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, limit);
    unanswered_.store(!ok);
    if (!ok) pa_operation_cancel(op);
    bool done = pa_operation_get_state(op) == PA_OPERATION_DONE;
    pa_operation_unref(op);
    return ok && done;
}

namespace {
// Filled on the loop's thread; its own mutex keeps that visible to race checkers, which do
// not see the loop's lock.
struct ListState {
    PulseConnection* conn;
    std::mutex mutex;
    std::vector<PulseSourceInfo> out;
    std::string def;
    bool failed = false;  // out of memory on the loop's thread: the list is not whole
};
}  // namespace

bool PulseConnection::listSources(std::vector<PulseSourceInfo>& out, std::string& defaultSource, int timeoutMs) {
    if (!ctx_) return false;
    ListState st;
    st.conn = this;
    pa_threaded_mainloop_lock(loop_);
    auto* op1 = pa_context_get_server_info(
        ctx_,
        [](pa_context*, const pa_server_info* i, void* u) {
            loopFence();
            auto* s = static_cast<ListState*>(u);
            std::lock_guard<std::mutex> lock(s->mutex);
            try {
                if (i && i->default_source_name) s->def = i->default_source_name;
            } catch (...) {
                s->failed = true;  // nothing thrown may unwind into libpulse's thread
            }
            s->conn->signal();
        },
        &st);
    bool ok = waitOperation(op1, timeoutMs);
    if (ok) {
        auto* op2 = pa_context_get_source_info_list(
            ctx_,
            [](pa_context*, const pa_source_info* i, int eol, void* u) {
                loopFence();
                auto* s = static_cast<ListState*>(u);
                std::lock_guard<std::mutex> lock(s->mutex);
                try {
                    if (!eol && i)
                        s->out.push_back({i->index, i->name ? i->name : "",
                                           i->description ? i->description : (i->name ? i->name : ""),
                                           i->monitor_of_sink != PA_INVALID_INDEX, i->channel_map.channels});
                } catch (...) {
                    s->failed = true;
                }
                s->conn->signal();
            },
            &st);
        ok = waitOperation(op2, timeoutMs);
    }
    pa_threaded_mainloop_unlock(loop_);
    std::lock_guard<std::mutex> lock(st.mutex);
    out = std::move(st.out);
    defaultSource = std::move(st.def);
    return ok && !st.failed;
}

bool PulseConnection::setSourceVolume(uint32_t index, uint8_t channels, double factor, int timeoutMs) {
    if (!ctx_) return false;
    pa_cvolume v;
    pa_cvolume_set(&v, channels ? channels : 1, static_cast<pa_volume_t>(factor * PA_VOLUME_NORM + 0.5));
    pa_threaded_mainloop_lock(loop_);
    auto* op = pa_context_set_source_volume_by_index(
        ctx_, index, &v, [](pa_context*, int, void* u) { static_cast<PulseConnection*>(u)->signal(); }, this);
    bool ok = waitOperation(op, timeoutMs);
    pa_threaded_mainloop_unlock(loop_);
    return ok;
}

namespace {
// Filled on the loop's thread, read here once the operation is done.
struct VolumeState {
    PulseConnection* conn;
    std::mutex mutex;
    bool found = false;
    double factor = 0.0;
    bool muted = false;
};
}  // namespace

bool PulseConnection::sourceVolume(uint32_t index, double& factor, bool& muted, int timeoutMs) {
    if (!ctx_) return false;
    VolumeState st;
    st.conn = this;
    pa_threaded_mainloop_lock(loop_);
    auto* op = pa_context_get_source_info_by_index(
        ctx_, index,
        [](pa_context*, const pa_source_info* i, int eol, void* u) {
            loopFence();
            auto* s = static_cast<VolumeState*>(u);
            std::lock_guard<std::mutex> lock(s->mutex);
            if (!eol && i) {
                s->found = true;
                s->factor = static_cast<double>(pa_cvolume_avg(&i->volume)) / PA_VOLUME_NORM;
                s->muted = i->mute != 0;
            }
            s->conn->signal();
        },
        &st);
    bool ok = waitOperation(op, timeoutMs);
    pa_threaded_mainloop_unlock(loop_);
    std::lock_guard<std::mutex> lock(st.mutex);
    if (!ok || !st.found) return false;
    factor = st.factor;
    muted = st.muted;
    return true;
}

}  // namespace bassx
