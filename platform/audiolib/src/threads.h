// Engine threads run with SIGPIPE blocked: a write to a dead encoder's pipe then fails with
// EPIPE on that thread instead of killing the host, and the host's own signal setup is left
// alone (Windows has no such signal: a broken pipe is only an error code there). Nothing
// thrown on an engine thread reaches the host's process: a thread that ends by an exception
// reports its death through the handler it was started with (a death notice, an error for
// whoever waits on it, a line in the host's log); one started without a handler catches what
// its work throws itself.
#pragma once

#if !defined(_WIN32)
#include <signal.h>
#endif

#include <thread>
#include <utility>

namespace bassx {

namespace detail {
template <typename F, typename D>
auto guardedBody(F&& fn, D&& onDeath) {
    return [body = std::forward<F>(fn), death = std::forward<D>(onDeath)]() mutable noexcept {
        try {
            body();
        } catch (...) {
            try {
                death();
            } catch (...) {
            }
        }
    };
}
}  // namespace detail

#if defined(_WIN32)
// Keeps the engine's DLL loaded for the life of the process once it has started a thread: a
// thread that outlives a free (a given-up name lookup, a notice being delivered) must never
// find its code unmapped. Unloading the engine is refused, as -z nodelete does on Linux.
void keepEngineLoaded();

template <typename F, typename D>
std::thread startThread(F&& fn, D&& onDeath) {
    keepEngineLoaded();
    return std::thread(detail::guardedBody(std::forward<F>(fn), std::forward<D>(onDeath)));
}
inline void clearPendingSigpipe() {}
#else

class SignalsBlocked {
public:
    SignalsBlocked() {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &set, &old_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t old_;
};

// Throws std::system_error when no thread can be started, like std::thread.
template <typename F, typename D>
std::thread startThread(F&& fn, D&& onDeath) {
    SignalsBlocked blocked;  // the new thread inherits the mask
    return std::thread(detail::guardedBody(std::forward<F>(fn), std::forward<D>(onDeath)));
}

// Discards a SIGPIPE left pending on this thread by a failed write.
inline void clearPendingSigpipe() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    timespec zero{0, 0};
    while (sigtimedwait(&set, nullptr, &zero) == SIGPIPE) {
    }
}
#endif

template <typename F>
std::thread startThread(F&& fn) {
    return startThread(std::forward<F>(fn), [] {});
}

}  // namespace bassx
