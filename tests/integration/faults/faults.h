// Helpers of the fault suites: what the process holds (to see leaks across many cycles),
// servers that misbehave on purpose, and Icecast brought back on the same ports.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "fixtures.h"

namespace faults {

// Open descriptors, threads, child processes (zombies included) and resident memory.
struct Usage {
    int fds = 0;
    int threads = 0;
    int children = 0;
    long rssKiB = 0;
};
Usage usage();
std::string describe(const Usage& u);
std::string openFiles();  // what each open descriptor refers to, for failure messages
int threadCount();
std::string threadNames();  // "name name ...", for failure messages
std::vector<pid_t> children(const std::string& name = "");  // by command name, "" for all
std::string cmdlineOf(pid_t pid);                         // NUL separators as spaces
std::string environOf(pid_t pid);

// A source port that misbehaves: accepts connections and answers as told.
class BadServer {
public:
    enum class Kind {
        Silent,          // accepts, reads, never answers
        Garbage,         // answers a line of binary junk
        CloseAfterLogin, // reads the password line, then closes
        OkThen403,       // "OK2", reads the headers, then an HTTP 403
        Trickle,         // one byte a second, never a full line
    };
    // On basePort + 1 when given (a server that took the place of one that died), else on a free port.
    explicit BadServer(Kind kind, int basePort = 0);
    ~BadServer();
    BadServer(const BadServer&) = delete;
    BadServer& operator=(const BadServer&) = delete;
    int port() const { return port_; }  // the base port: the source connects to port() + 1
    int accepted() const { return accepted_.load(); }

private:
    void serve(int client);
    Kind kind_;
    int port_ = 0;
    int listener_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
    std::vector<std::thread> clients_;
};

// Icecast killed and started again from its own configuration, on the same ports.
class Revivable {
public:
    explicit Revivable(fixtures::Icecast& ice) : ice_(ice) {}
    ~Revivable() { stopRevived(); }
    void kill();           // SIGKILL whichever Icecast runs now, and reap it
    bool revive();         // a new Icecast on the same configuration; true once it answers
    void stopRevived();

private:
    fixtures::Icecast& ice_;
    pid_t revived_ = 0;
};

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit,
                std::chrono::milliseconds step = std::chrono::milliseconds(20));

}  // namespace faults
