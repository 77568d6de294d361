#include "faults.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include "../../support/proc_file.h"

namespace faults {

using namespace std::chrono_literals;

namespace {

int countEntries(const char* path) {
    int n = 0;
    if (DIR* dir = ::opendir(path)) {
        while (dirent* entry = ::readdir(dir))
            if (entry->d_name[0] != '.') ++n;
        ::closedir(dir);
    }
    return n;
}

}  // namespace

int threadCount() { return countEntries("/proc/self/task"); }

std::string threadNames() {
    std::string names;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            std::string comm = readProcFile("/proc/self/task/" + std::string(entry->d_name) + "/comm");
            if (!comm.empty() && comm.back() == '\n') comm.pop_back();
            names += comm + " ";
        }
        ::closedir(dir);
    }
    return names;
}

std::vector<pid_t> children(const std::string& name) {
    std::vector<pid_t> found;
    const pid_t self = ::getpid();
    DIR* proc = ::opendir("/proc");
    if (!proc) return found;
    while (dirent* entry = ::readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        const std::string stat = readProcFile("/proc/" + std::string(entry->d_name) + "/stat");
        const auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos || close + 2 >= stat.size()) continue;
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == self && (name.empty() || stat.substr(open + 1, close - open - 1) == name)) found.push_back(pid);
    }
    ::closedir(proc);
    return found;
}

namespace {

// The sanitizer runtime starts its symbolizer the first time it matches a suppression and keeps
// it, with a pipe each way: those are the runtime's, not the code's under test.
struct SymbolizerShare {
    int fds = 0;
    int processes = 0;
};

std::vector<std::string> links(const std::string& folder) {
    std::vector<std::string> targets;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            char target[512] = {};
            if (::readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1) > 0)
                targets.emplace_back(target);
        }
        ::closedir(dir);
    }
    return targets;
}

SymbolizerShare symbolizerShare() {
    SymbolizerShare share;
    std::vector<std::string> pipes;
    for (const char* name : {"llvm-symbolizer", "addr2line"})
        for (pid_t pid : children(name)) {
            ++share.processes;
            for (const std::string& target : links("/proc/" + std::to_string(pid) + "/fd"))
                if (target.rfind("pipe:", 0) == 0) pipes.push_back(target);
        }
    if (pipes.empty()) return share;
    for (const std::string& target : links("/proc/self/fd"))
        if (std::find(pipes.begin(), pipes.end(), target) != pipes.end()) ++share.fds;
    return share;
}

}  // namespace

Usage usage() {
    Usage u;
    const SymbolizerShare runtime = symbolizerShare();
    u.fds = countEntries("/proc/self/fd") - 1 - runtime.fds;  // less the one opendir holds
    u.threads = threadCount();
    u.children = static_cast<int>(children().size()) - runtime.processes;
    std::istringstream statm(readProcFile("/proc/self/statm"));
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    u.rssKiB = resident * (::sysconf(_SC_PAGESIZE) / 1024);
    return u;
}

std::string describe(const Usage& u) {
    return std::to_string(u.fds) + " fds, " + std::to_string(u.threads) + " threads, " +
           std::to_string(u.children) + " children, " + std::to_string(u.rssKiB) + " KiB resident";
}

std::string openFiles() {
    std::string out;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.') continue;
            char target[512] = {};
            const std::string link = "/proc/self/fd/" + std::string(entry->d_name);
            if (::readlink(link.c_str(), target, sizeof target - 1) > 0)
                out += std::string(entry->d_name) + "=" + target + " ";
        }
        ::closedir(dir);
    }
    return out;
}

std::string cmdlineOf(pid_t pid) {
    std::string s = readProcFile("/proc/" + std::to_string(pid) + "/cmdline");
    for (char& c : s)
        if (c == '\0') c = ' ';
    return s;
}

std::string environOf(pid_t pid) { return readProcFile("/proc/" + std::to_string(pid) + "/environ"); }

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit,
                std::chrono::milliseconds step) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

// ---------------------------------------------------------------- BadServer

BadServer::BadServer(Kind kind, int basePort) : kind_(kind) {
    for (int attempt = 0; attempt < 20 && listener_ < 0; ++attempt) {
        if (attempt > 0 && basePort) std::this_thread::sleep_for(100ms);  // the port is still held
        port_ = basePort ? basePort : fixtures::freePort();
        int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int on = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port_ + 1));
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(s, 16) == 0)
            listener_ = s;
        else
            ::close(s);
    }
    thread_ = std::thread([this] {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            ++accepted_;
            clients_.emplace_back([this, client] { serve(client); });
        }
    });
}

BadServer::~BadServer() {
    stop_ = true;
    thread_.join();
    for (auto& t : clients_) t.join();
    ::close(listener_);
}

void BadServer::serve(int client) {
    auto readLine = [&] {
        std::string line;
        char c;
        while (!stop_ && line.find('\n') == std::string::npos) {
            pollfd p{client, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            if (::recv(client, &c, 1, 0) <= 0) break;
            line += c;
        }
        return line;
    };
    auto send = [&](const std::string& s) { ::send(client, s.data(), s.size(), MSG_NOSIGNAL); };
    auto drainUntilStopped = [&] {
        char buf[4096];
        while (!stop_) {
            pollfd p{client, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && ::recv(client, buf, sizeof buf, 0) <= 0) break;
        }
    };
    switch (kind_) {
    case Kind::Silent: drainUntilStopped(); break;
    case Kind::Garbage:
        readLine();
        send(std::string("\x01\xff\xfe garbage \x7f\r\n", 16));
        drainUntilStopped();
        break;
    case Kind::CloseAfterLogin: readLine(); break;
    case Kind::OkThen403:
        readLine();
        send("OK2\r\nicy-caps:11\r\n\r\n");
        while (!stop_) {
            const std::string line = readLine();
            if (line.empty() || line == "\r\n" || line == "\n") break;
        }
        send("HTTP/1.0 403 Mountpoint in use\r\n\r\n");
        drainUntilStopped();
        break;
    case Kind::Trickle:
        readLine();
        for (int i = 0; !stop_; ++i) {
            if (i % 20 == 0) send("O");  // one byte a second, never a line end
            std::this_thread::sleep_for(50ms);
            pollfd p{client, POLLIN, 0};
            char buf[256];
            if (::poll(&p, 1, 0) > 0 && ::recv(client, buf, sizeof buf, 0) <= 0) break;
        }
        break;
    }
    ::close(client);
}

// ---------------------------------------------------------------- Revivable

void Revivable::kill() {
    const pid_t pid = revived_ ? revived_ : ice_.pid();
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    if (pid == revived_) revived_ = 0;
}

namespace {

// Free to bind as Icecast binds (SO_REUSEADDR: connections of the killed server still in
// TIME_WAIT are no obstacle, a socket still bound to the port is).
bool bindable(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

}  // namespace

bool Revivable::revive() {
    stopRevived();
    const std::string config = ice_.dir() + "/icecast.xml";
    const std::string log = ice_.dir() + "/revived.log";
    // A loaded machine may keep the ports a while (the dead server's sockets, a connect of the
    // station that drew the port as its own end) or start Icecast slowly: wait for the ports,
    // start, and start again when it gave up, within one bound.
    const auto end = std::chrono::steady_clock::now() + 30s;
    auto left = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    };
    auto answers = [&] {
        return fixtures::listensOn(revived_, ice_.port()) && fixtures::listensOn(revived_, ice_.port() + 1) &&
               ice_.countersUp() && !ice_.statusJson().empty();
    };
    while (left() > 0ms) {
        eventually([&] { return bindable(ice_.port()) && bindable(ice_.port() + 1); }, left());
        revived_ = ::fork();
        if (revived_ == 0) {
            ::setpgid(0, 0);
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd >= 0) {
                ::dup2(fd, 1);
                ::dup2(fd, 2);
            }
            ::execlp("icecast2", "icecast2", "-c", config.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        if (revived_ < 0) {
            revived_ = 0;
            return false;
        }
        bool exited = false;
        eventually(
            [&] {
                if (::waitpid(revived_, nullptr, WNOHANG) == revived_) return exited = true;
                return answers();
            },
            left());
        if (!exited && answers()) return true;
        if (exited)
            revived_ = 0;
        else
            stopRevived();
    }
    return false;
}

void Revivable::stopRevived() {
    if (revived_ <= 0) return;
    ::kill(revived_, SIGTERM);
    if (!eventually([&] { return ::waitpid(revived_, nullptr, WNOHANG) != 0; }, 3s)) {
        ::kill(revived_, SIGKILL);
        ::waitpid(revived_, nullptr, 0);
    }
    revived_ = 0;
}

}  // namespace faults
