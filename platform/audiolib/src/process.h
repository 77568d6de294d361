// Encoder processes: the command line split into arguments (double quotes group; no shell),
// the program started with pipes on its stdin and stdout, and ended within a bound.
#pragma once

#include <sys/types.h>

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

    // BASS error code, 0 once the program runs (exec succeeded).
    int start(const std::vector<std::string>& args);

    int stdinFd() const { return in_; }
    int stdoutFd() const { return out_; }
    pid_t pid() const { return pid_; }

    void closeStdin();
    void closeStdout();
    // Reaps the process if it has ended, waiting at most waitMs; true once reaped.
    bool reap(int waitMs);
    // Closes stdin, waits up to graceMs for the program to end, then kills it; always reaps.
    // Stdout stays open for a reader to drain; the destructor closes it.
    void end(int graceMs);
    // SIGKILL at once, pipes left alone (a writer may still be using stdin); reap() collects it.
    void kill();

private:
    std::mutex mutex_;  // guards pid_ against a reap racing a kill
    pid_t pid_ = 0;
    bool reaped_ = false;
    int in_ = -1;
    int out_ = -1;
};

}  // namespace bassx
