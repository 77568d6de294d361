#include "process.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bass.h"

namespace bassx {

std::vector<std::string> splitCommandLine(const std::string& s) {
    std::vector<std::string> args;
    std::string cur;
    bool inArg = false, quoted = false;
    for (char c : s) {
        if (c == '"') {
            quoted = !quoted;
            inArg = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
            if (inArg) args.push_back(std::move(cur));
            cur.clear();
            inArg = false;
        } else {
            cur += c;
            inArg = true;
        }
    }
    if (inArg) args.push_back(std::move(cur));
    return args;
}

namespace {
bool runnable(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}
}  // namespace

std::string findProgram(const std::string& name) {
    if (name.empty()) return {};
    if (name.find('/') != std::string::npos) return runnable(name) ? name : std::string();
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t from = 0;
    while (from <= dirs.size()) {
        size_t to = dirs.find(':', from);
        if (to == std::string::npos) to = dirs.size();
        std::string dir = dirs.substr(from, to - from);
        std::string full = (dir.empty() ? "." : dir) + "/" + name;
        if (runnable(full)) return full;
        from = to + 1;
    }
    return {};
}

Process::~Process() {
    end(0);
    closeStdout();
}

int Process::start(const std::vector<std::string>& args) {
    if (args.empty()) return BASS_ERROR_ILLPARAM;
    std::string prog = findProgram(args[0]);
    if (prog.empty()) return BASS_ERROR_FILEOPEN;
    // Everything the child needs is built before fork: it only calls async-signal-safe functions.
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int inPipe[2], outPipe[2], errPipe[2];
    if (::pipe2(inPipe, O_CLOEXEC) != 0) return BASS_ERROR_CREATE;
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        ::close(inPipe[0]), ::close(inPipe[1]);
        return BASS_ERROR_CREATE;
    }
    if (::pipe2(errPipe, O_CLOEXEC) != 0) {
        ::close(inPipe[0]), ::close(inPipe[1]), ::close(outPipe[0]), ::close(outPipe[1]);
        return BASS_ERROR_CREATE;
    }
    int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(inPipe[0], 0);
        ::dup2(outPipe[0 + 1], 1);
        if (devnull >= 0) ::dup2(devnull, 2);  // encoders chatter on stderr
        // Nothing else of the host's reaches the encoder, whoever opened it without CLOEXEC.
        ::syscall(SYS_close_range, 3u, ~0u, 4u /* CLOSE_RANGE_CLOEXEC */);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(prog.c_str(), argv.data());
        int e = errno;
        ssize_t w = ::write(errPipe[1], &e, sizeof e);
        (void)w;
        ::_exit(127);
    }
    ::close(inPipe[0]);
    ::close(outPipe[1]);
    ::close(errPipe[1]);
    if (devnull >= 0) ::close(devnull);
    if (pid < 0) {
        ::close(inPipe[1]), ::close(outPipe[0]), ::close(errPipe[0]);
        return BASS_ERROR_CREATE;
    }
    // The error pipe closes on a successful exec; an errno arrives when exec failed.
    int childErr = 0;
    ssize_t n;
    do n = ::read(errPipe[0], &childErr, sizeof childErr);
    while (n < 0 && errno == EINTR);
    ::close(errPipe[0]);
    if (n > 0) {
        ::close(inPipe[1]), ::close(outPipe[0]);
        ::waitpid(pid, nullptr, 0);
        return childErr == ENOENT || childErr == EACCES || childErr == ENOEXEC ? BASS_ERROR_FILEOPEN : BASS_ERROR_CREATE;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    pid_ = pid;
    reaped_ = false;
    in_ = inPipe[1];
    out_ = outPipe[0];
    return BASS_OK;
}

void Process::closeStdin() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

void Process::closeStdout() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (out_ >= 0) ::close(out_);
    out_ = -1;
}

bool Process::reap(int waitMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pid_ <= 0 || reaped_) return true;
            pid_t r = ::waitpid(pid_, nullptr, WNOHANG);
            if (r == pid_ || (r < 0 && errno == ECHILD)) {
                reaped_ = true;
                return true;
            }
        }
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void Process::end(int graceMs) {
    closeStdin();
    if (!reap(graceMs)) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pid_ > 0 && !reaped_) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
            }
            reaped_ = true;
        }
    }
}

void Process::kill() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
}

}  // namespace bassx
