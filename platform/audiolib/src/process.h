// Encoder processes: the command line split into arguments (double quotes group; no shell),
// the program started with pipes on its stdin and stdout, and ended within a bound.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace bassx {

// Whitespace separates arguments; a double-quoted part keeps its spaces (the quotes go).
std::vector<std::string> splitCommandLine(const std::string& cmdline);

// Where the program would be run from: a name without a slash is looked up on PATH.
std::string findProgram(const std::string& name);

class Process {
public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // BASS error code, 0 once the program runs (exec succeeded). `args` is the split command
    // line; where the system takes a command line whole (Windows), `cmdline` is passed as it is.
    int start(const std::vector<std::string>& args, const std::string& cmdline = {});

    int stdinFd() const { return in_; }
    int stdoutFd() const { return out_; }
    pid_t pid() const { return pid_; }

    // The program's stdin: bytes taken, 0 when it took nothing within waitMs, -1 once it is gone.
    long writeInput(const void* data, size_t len, int waitMs);
    // Its stdout: bytes read, 0 at the end of its output, -2 when nothing came within waitMs.
    long readOutput(void* buf, size_t len, int waitMs);

    void closeStdin();
    void closeStdout();
    // Reaps the process if it has ended, waiting at most waitMs; true once reaped.
    bool reap(int waitMs);
    // Closes stdin, waits up to graceMs for the program to end, then kills it; always reaps.
    // Stdout stays open for a reader to drain; the destructor closes it.
    void end(int graceMs);
    // SIGKILL at once, pipes left alone (a writer may still be using stdin); reap() collects it.
    void kill();

    // Steady-clock nanoseconds of the close of its stdin and of the kill at the end of its
    // grace time (0: not yet): when the ends of several programs began, against when the
    // first of them ran out.
    int64_t inputClosedAt() const { return inputClosedAt_.load(); }
    int64_t killedAt() const { return killedAt_.load(); }

private:
    static int64_t now();
    std::atomic<int64_t> inputClosedAt_{0}, killedAt_{0};
    std::mutex mutex_;  // guards pid_ against a reap racing a kill
    pid_t pid_ = 0;
    bool reaped_ = false;
    int in_ = -1;
    int out_ = -1;
#if defined(_WIN32)
    void* process_ = nullptr;  // HANDLEs of the child and of the job that ends it with the host
    void* job_ = nullptr;
#endif
};

}  // namespace bassx
