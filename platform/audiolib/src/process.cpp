#include "process.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bass.h"
#include "threads.h"

namespace bassx {

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

namespace {

// A pipe end the child gets as 0 or 1 must not already be 0, 1 or 2 (a host that runs with
// those closed hands them out): moved above 2, close-on-exec like the rest.
bool aboveStandard(int& fd) {
    if (fd > 2) return true;
    int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    ::close(fd);
    fd = moved;
    return fd >= 0;
}

void closeAll(std::initializer_list<int> fds) {
    for (int fd : fds)
        if (fd >= 0) ::close(fd);
}

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    bool actionsMade = false, attrMade = false;
    ~SpawnSetup() {
        if (actionsMade) posix_spawn_file_actions_destroy(&actions);
        if (attrMade) posix_spawnattr_destroy(&attr);
    }
};

}  // namespace

int Process::start(const std::vector<std::string>& args, const std::string&) {
    if (args.empty()) return BASS_ERROR_ILLPARAM;
    std::string prog = findProgram(args[0]);
    if (prog.empty()) return BASS_ERROR_FILEOPEN;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1};
    if (::pipe2(inPipe, O_CLOEXEC) != 0) return BASS_ERROR_CREATE;
    if (::pipe2(outPipe, O_CLOEXEC) != 0) {
        closeAll({inPipe[0], inPipe[1]});
        return BASS_ERROR_CREATE;
    }
    if (!aboveStandard(inPipe[0]) || !aboveStandard(outPipe[1])) {
        closeAll({inPipe[0], inPipe[1], outPipe[0], outPipe[1]});
        return BASS_ERROR_CREATE;
    }
    // posix_spawn rather than fork: nothing of a large host is copied (no copy-on-write faults
    // on its playback thread afterwards), and the child's signals are set before exec.
    SpawnSetup set;
    set.actionsMade = posix_spawn_file_actions_init(&set.actions) == 0;
    set.attrMade = set.actionsMade && posix_spawnattr_init(&set.attr) == 0;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    bool ready = set.attrMade && posix_spawn_file_actions_adddup2(&set.actions, inPipe[0], 0) == 0 &&
                 posix_spawn_file_actions_adddup2(&set.actions, outPipe[1], 1) == 0 &&
                 // encoders chatter on stderr
                 posix_spawn_file_actions_addopen(&set.actions, 2, "/dev/null", O_WRONLY, 0) == 0 &&
                 // nothing else of the host's reaches the encoder, whoever opened it without CLOEXEC
                 posix_spawn_file_actions_addclosefrom_np(&set.actions, 3) == 0 &&
                 posix_spawnattr_setsigmask(&set.attr, &none) == 0 &&
                 posix_spawnattr_setsigdefault(&set.attr, &all) == 0 &&
                 posix_spawnattr_setflags(&set.attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;
    if (!ready) {
        closeAll({inPipe[0], inPipe[1], outPipe[0], outPipe[1]});
        return BASS_ERROR_CREATE;
    }
    pid_t pid = 0;
    // An exec that fails is reported here, with its errno.
    int rc = posix_spawn(&pid, prog.c_str(), &set.actions, &set.attr, argv.data(), environ);
    closeAll({inPipe[0], outPipe[1]});
    if (rc != 0) {
        closeAll({inPipe[1], outPipe[0]});
        return rc == ENOENT || rc == EACCES || rc == ENOEXEC ? BASS_ERROR_FILEOPEN : BASS_ERROR_CREATE;
    }
    // Writes never block: a slow encoder must not hold up its writer's shutdown.
    ::fcntl(inPipe[1], F_SETFL, ::fcntl(inPipe[1], F_GETFL) | O_NONBLOCK);
    std::lock_guard<std::mutex> lock(mutex_);
    pid_ = pid;
    reaped_ = false;
    in_ = inPipe[1];
    out_ = outPipe[0];
    return BASS_OK;
}

long Process::writeInput(const void* data, size_t len, int waitMs) {
    for (;;) {
        ssize_t n = ::write(in_, data, len);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN) {
            pollfd pf{in_, POLLOUT, 0};
            ::poll(&pf, 1, waitMs);
            return 0;
        }
        // EPIPE: the program is gone.
        clearPendingSigpipe();
        return -1;
    }
}

long Process::readOutput(void* buf, size_t len, int waitMs) {
    pollfd pf{out_, POLLIN, 0};
    int r = ::poll(&pf, 1, waitMs);
    if (r == 0 || (r < 0 && errno == EINTR)) return -2;
    ssize_t n = ::read(out_, buf, len);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return -2;
    return n < 0 ? 0 : n;
}

int64_t Process::now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Process::closeStdin() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (in_ >= 0) {
        ::close(in_);
        inputClosedAt_.store(now());
    }
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
            killedAt_.store(now());
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
