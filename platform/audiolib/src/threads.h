// Engine threads run with SIGPIPE blocked: a write to a dead encoder's pipe then fails with
// EPIPE on that thread instead of killing the host, and the host's own signal setup is left
// alone (Windows has no such signal: a broken pipe is only an error code there). An exception
// that reaches the top of an engine thread ends that thread, not the host's process.
#pragma once

#if !defined(_WIN32)
#include <signal.h>
#endif

#include <thread>
#include <utility>

namespace bassx {

#if defined(_WIN32)
template <typename F>
std::thread startThread(F&& fn) {
    return std::thread([body = std::forward<F>(fn)]() mutable noexcept {
        try {
            body();
        } catch (...) {
        }
    });
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
template <typename F>
std::thread startThread(F&& fn) {
    SignalsBlocked blocked;  // the new thread inherits the mask
    return std::thread([body = std::forward<F>(fn)]() mutable noexcept {
        try {
            body();
        } catch (...) {
        }
    });
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

}  // namespace bassx
