// Connecting to a name with several addresses: tried first answer first, then the families in
// turn; a silent address costs a quarter second, a refusing one nothing, the losers are closed,
// and a stop ends it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "../../support/loopback.h"
#include "../../support/test_resolver.h"
#if !defined(_WIN32)
#include "../../support/open_fds.h"
#endif
#include "bass.h"
#include "net.h"
#include "title.h"

using namespace bassx;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A port that refuses at once: bound, so nobody else takes it, but not listening.
struct Refusing {
    int port = 0;
    int fd = loopback::bound(port, 0);
    ~Refusing() {
        if (fd >= 0) loopback::close(fd);
    }
};

// Descriptors open now, to see that a connect leaves only its winner open (POSIX only).
#if defined(_WIN32)
constexpr bool kCountsDescriptors = false;
int openNow() { return 0; }
#else
constexpr bool kCountsDescriptors = true;
int openNow() { return openFds(); }
#endif

struct Outcome {
    int fd = -1;
    int err = -1;
    Clock::duration took{};
};

Outcome connectNow(int deadlineMs, const std::atomic<bool>* cancel = nullptr) {
    Outcome o;
    auto t0 = Clock::now();
    o.fd = net::connectTo("larkspur-two-addresses.test", 8000, net::after(deadlineMs), o.err, cancel);
    o.took = Clock::now() - t0;
    return o;
}

}  // namespace

// The resolver's answers as "6" and "4", lettered per family in the resolver's order: tried
// first-answer first, then the families in turn.
TEST(Connect, AddressesAreTriedFirstAnswerFirstThenFamiliesInTurn) {
    struct Case {
        const char* answers;
        const char* tried;
    } cases[] = {{"6a 6b 6c 4a 4b", "6a 4a 6b 4b 6c"},
                 {"4a 6a 6b", "4a 6a 6b"},
                 {"6a 6b 4a 4b 4c 4d", "6a 4a 6b 4b 4c 4d"},
                 {"4a 4b", "4a 4b"},
                 {"6a 4a 6b 4b", "6a 4a 6b 4b"},
                 {"6a", "6a"},
                 {"", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answers);
        std::vector<std::string> names;
        for (std::string rest = c.answers; !rest.empty();) {
            const auto space = rest.find(' ');
            names.push_back(rest.substr(0, space));
            rest = space == std::string::npos ? "" : rest.substr(space + 1);
        }
        std::vector<addrinfo> list(names.size());
        for (size_t i = 0; i < list.size(); ++i) {
            list[i].ai_family = names[i][0] == '6' ? AF_INET6 : AF_INET;
            list[i].ai_next = i + 1 < list.size() ? &list[i + 1] : nullptr;
        }
        std::string tried;
        for (const addrinfo* a : net::connectOrder(list.empty() ? nullptr : &list[0]))
            tried += (tried.empty() ? "" : " ") + names[static_cast<size_t>(a - list.data())];
        EXPECT_EQ(tried, c.tried);
    }
}

TEST(Connect, AnAddressThatNeverAnswersCostsAQuarterSecondNotTheDeadline) {
    loopback::BlackHole hole;
    ASSERT_TRUE(hole.ready);
    loopback::Listener live, later;
    ASSERT_GE(live.fd(), 0);
    ASSERT_GE(later.fd(), 0);
    struct Case {
        const char* name;
        std::vector<int> ports;
    } cases[] = {
        {"silent, live", {hole.port, live.port()}},
        {"silent, silent, live, live", {hole.port, hole.port, live.port(), later.port()}},
        {"live, live: the resolver's first", {live.port(), later.port()}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        loopback::Resolver resolver(c.ports);
        const int before = openNow();
        Outcome o = connectNow(10000);
        ASSERT_GE(o.fd, 0) << o.err;
        EXPECT_EQ(o.err, BASS_OK);
        EXPECT_EQ(loopback::peerPort(o.fd), live.port());
        EXPECT_LT(o.took, 3s);  // the deadline is 10 s
        if (kCountsDescriptors) {
            EXPECT_EQ(openNow(), before + 1);  // the attempts to the silent address are closed
        }
        int served = live.accept();
        EXPECT_GE(served, 0);
        loopback::close(served);
        loopback::close(o.fd);
    }
}

TEST(Connect, ARefusedAddressHandsOnAtOnce) {
    // Forty refusals: were each given its quarter second, the live address would start only
    // after the deadline. The same with a silent address still under way beside them.
    Refusing refusing;
    ASSERT_GE(refusing.fd, 0);
    loopback::BlackHole hole;
    ASSERT_TRUE(hole.ready);
    loopback::Listener live;
    ASSERT_GE(live.fd(), 0);
    for (bool silentFirst : {false, true}) {
        SCOPED_TRACE(silentFirst ? "after a silent address" : "refusals only");
        std::vector<int> ports;
        if (silentFirst) ports.push_back(hole.port);
        ports.insert(ports.end(), 40, refusing.port);
        ports.push_back(live.port());
        loopback::Resolver resolver(ports);
        const int before = openNow();
        Outcome o = connectNow(8000);
        ASSERT_GE(o.fd, 0) << o.err;
        EXPECT_EQ(loopback::peerPort(o.fd), live.port());
        if (kCountsDescriptors) {
            EXPECT_EQ(openNow(), before + 1);
        }
        int served = live.accept();
        EXPECT_GE(served, 0);
        loopback::close(served);
        loopback::close(o.fd);
    }
}

TEST(Connect, EveryAddressDeadGivesTheCodesOfOneAddress) {
    Refusing refusing, alsoRefusing;
    loopback::BlackHole hole;
    ASSERT_TRUE(hole.ready);
    const int before = openNow();
    {
        SCOPED_TRACE("all refuse");
        loopback::Resolver resolver({refusing.port, alsoRefusing.port});
        Outcome o = connectNow(10000);
        EXPECT_LT(o.fd, 0);
        EXPECT_EQ(o.err, BASS_ERROR_FILEOPEN);
        EXPECT_LT(o.took, 5s);  // no waiting for the deadline
    }
    {
        SCOPED_TRACE("one refuses, one never answers");
        loopback::Resolver resolver({refusing.port, hole.port});
        Outcome o = connectNow(600);
        EXPECT_LT(o.fd, 0);
        EXPECT_EQ(o.err, BASS_ERROR_TIMEOUT);
        EXPECT_GE(o.took, 600ms);
        EXPECT_LT(o.took, 5s);
    }
    {
        SCOPED_TRACE("no address");
        loopback::Resolver resolver({});
        Outcome o = connectNow(10000);
        EXPECT_LT(o.fd, 0);
        EXPECT_EQ(o.err, BASS_ERROR_NONET);
    }
    if (kCountsDescriptors) {
        EXPECT_EQ(openNow(), before);
    }
}

TEST(Connect, AStopEndsTheRaceAtOnce) {
    loopback::BlackHole hole;
    ASSERT_TRUE(hole.ready);
    loopback::Resolver resolver(std::vector<int>(8, hole.port));
    const int before = openNow();
    std::atomic<bool> stop{false};
    std::atomic<Clock::rep> stoppedAt{0};
    std::thread stopper([&] {
        std::this_thread::sleep_for(600ms);  // a few attempts under way
        stoppedAt = Clock::now().time_since_epoch().count();
        stop = true;
    });
    Outcome o = connectNow(60000, &stop);
    const auto returnedAt = Clock::now();
    stopper.join();
    EXPECT_LT(o.fd, 0);
    EXPECT_EQ(o.err, BASS_ERROR_TIMEOUT);
    EXPECT_LT(returnedAt - Clock::time_point(Clock::duration(stoppedAt.load())), 2s);
    if (kCountsDescriptors) {
        EXPECT_EQ(openNow(), before);
    }
}

TEST(Connect, TitleUpdatesGoThroughTheSameRace) {
    loopback::BlackHole hole;
    ASSERT_TRUE(hole.ready);
    loopback::Listener server;
    ASSERT_GE(server.fd(), 0);
    loopback::Resolver resolver({hole.port, server.port()});
    std::thread answer([&] {
        int c = server.accept();
        if (c < 0) return;
        char buf[1024];
        std::string got;
        long n;
        while (got.find("\r\n\r\n") == std::string::npos && (n = loopback::recv(c, buf, sizeof buf)) > 0)
            got.append(buf, static_cast<size_t>(n));
        const char ok[] = "HTTP/1.0 200 OK\r\n\r\n";
        loopback::send(c, ok, sizeof ok - 1);
        loopback::shutdown(c);
        loopback::close(c);
    });
    title::Sender sender("larkspur-two-addresses.test", 8000);
    sender.post(title::buildRequest("larkspur-two-addresses.test", 8000, "secret", "Song", ""));
    // A silent first address would otherwise use up the sender's whole deadline.
    for (int i = 0; i < 1000 && sender.completed() == 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(sender.lastStatus(), 200);
    sender.stop();
    server.stop();
    answer.join();
}
