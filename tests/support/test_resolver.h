// Stand-ins for a name's addresses in the engine's suites: a resolver with addresses of the
// test's choosing (through the engine's lookup seam) and an address that never answers.
#pragma once

#include <cstdlib>
#include <mutex>
#include <vector>

#include "loopback.h"
#include "net.h"

namespace loopback {

// A resolver that answers every name with loopback addresses on the test's ports, in order;
// port 0 stands for the port asked for. Installed through the engine's seam, or through the
// library's probe by a suite that has the engine only as the shared library.
class Resolver {
public:
    using Install = void (*)(bassx::net::LookupFn, bassx::net::ReleaseFn);
    explicit Resolver(std::vector<int> ports, Install install = &bassx::net::setLookupForTests) : install_(install) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            answer = std::move(ports);
        }
        install_(&lookup, &release);
    }
    ~Resolver() { install_(nullptr, nullptr); }
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;

private:
    struct Node {
        addrinfo ai;  // first: the list's pointers are the nodes'
        sockaddr_in address;
    };
    static int lookup(const char*, const char* service, const addrinfo*, addrinfo** res) {
        std::lock_guard<std::mutex> lock(mutex);
        addrinfo** tail = res;
        *res = nullptr;
        for (int port : answer) {
            auto* n = new Node{};
            n->address = loopback::at(port ? port : std::atoi(service));
            n->ai.ai_family = AF_INET;
            n->ai.ai_socktype = SOCK_STREAM;
            n->ai.ai_protocol = IPPROTO_TCP;
            n->ai.ai_addr = reinterpret_cast<sockaddr*>(&n->address);
            n->ai.ai_addrlen = sizeof n->address;
            *tail = &n->ai;
            tail = &n->ai.ai_next;
        }
        return *res ? 0 : EAI_NONAME;
    }
    static void release(addrinfo* res) {
        while (res) {
            addrinfo* next = res->ai_next;
            delete reinterpret_cast<Node*>(res);
            res = next;
        }
    }
    Install install_;
    static inline std::mutex mutex;
    static inline std::vector<int> answer;
};

// An address that never answers: a listener whose accept queue is full drops every new SYN.
struct BlackHole {
    int port = 0;
    int listener = -1;
    std::vector<int> fillers;
    bool ready = false;
    BlackHole() {
        listener = loopback::bound(port, 0);
        if (listener < 0 || ::listen(listener, 0) != 0) return;
        // Fill the queue until a connect stays unanswered; a queued one is answered at once.
        for (int i = 0; i < 8 && !ready; ++i) {
            int c = loopback::startConnect(port);
            if (c < 0) return;
            if (loopback::pollOut(c, 500) > 0) {
                fillers.push_back(c);
            } else {
                loopback::close(c);
                ready = true;
            }
        }
    }
    ~BlackHole() {
        for (int c : fillers) loopback::close(c);
        if (listener >= 0) loopback::close(listener);
    }
};

}  // namespace loopback
