// The ICY source handshake against canned server replies, header building, the link's
// notices, URL encoding and title requests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../support/loopback.h"
#include "encoder.h"
#include "icy.h"
#include "net.h"
#include "title.h"

using namespace bassx;
using namespace std::chrono_literals;

namespace {

icy::CastParams station() {
    icy::CastParams p;
    p.password = "secret";
    p.content = "audio/mpeg";
    p.name = "Larkspur FM";
    p.url = "http://larkspur.example/";
    p.genre = "Jazz";
    p.desc = "Late night";
    p.bitrate = 128;
    p.pub = true;
    return p;
}

// A canned server on one end of a socket pair: reads the login, answers, reads the headers,
// answers again (or closes / stays silent).
struct CannedServer {
    int fds[2];
    std::thread thread;
    std::string received;

    CannedServer(std::string loginAnswer, std::string headerAnswer, bool closeAfterLogin = false) {
        loopback::pair(fds, false);
        thread = std::thread([=, this] {
            char buf[2048];
            auto readUntil = [&](const char* end) {
                while (received.find(end) == std::string::npos) {
                    long n = loopback::recv(fds[1], buf, sizeof buf);
                    if (n <= 0) return false;
                    received.append(buf, static_cast<size_t>(n));
                }
                return true;
            };
            if (!readUntil("\r\n")) return;
            if (closeAfterLogin) {
                loopback::shutdown(fds[1]);
                return;
            }
            if (!loginAnswer.empty()) loopback::send(fds[1], loginAnswer.data(), loginAnswer.size());
            if (!readUntil("\r\n\r\n")) return;
            if (headerAnswer == "close")
                loopback::shutdown(fds[1]);
            else if (!headerAnswer.empty())
                loopback::send(fds[1], headerAnswer.data(), headerAnswer.size());
            // Hold the line until the client is done.
            while (loopback::recv(fds[1], buf, sizeof buf) > 0) {
            }
        });
    }
    int client() {
        loopback::setNonBlocking(fds[0]);
        return fds[0];
    }
    // The deadline is far: a reply ends the handshake at once, however slow the machine.
    int handshake(int deadlineMs = 30000, int watchMs = 200) {
        int r = icy::handshake(client(), station(), net::after(deadlineMs), watchMs);
        loopback::shutdown(fds[0]);
        return r;
    }
    ~CannedServer() {
        loopback::shutdown(fds[0]);
        if (thread.joinable()) thread.join();
        loopback::close(fds[0]);
        loopback::close(fds[1]);
    }
};

// A name lookup that never answers until the test lets it go.
struct HungLookup {
    static inline std::mutex m;
    static inline std::condition_variable cv;
    static inline unsigned releases = 0;  // each lookup waits for the next release
    static inline std::atomic<int> entered{0};
    static int lookup(const char*, const char*, const addrinfo*, addrinfo**) {
        std::unique_lock<std::mutex> lock(m);
        const unsigned mine = releases;
        ++entered;
        cv.wait(lock, [&] { return releases != mine; });
        return EAI_NONAME;
    }
    HungLookup() {
        entered = 0;
        net::setLookupForTests(&lookup);
    }
    bool waitEntered(int n) {
        for (int i = 0; i < 500 && entered < n; ++i) std::this_thread::sleep_for(10ms);
        return entered >= n;
    }
    ~HungLookup() {
        net::setLookupForTests(nullptr);
        {
            std::lock_guard<std::mutex> lock(m);
            ++releases;
        }
        cv.notify_all();  // the abandoned lookups end by themselves
    }
};

// A loopback source port (port + 1 of `base`) that takes the source and holds the line.
struct AcceptingServer {
    int listener = -1, client = -1, base = 0;
    std::atomic<bool> quit{false};
    std::thread thread;
    AcceptingServer() {
        int port = 0;
        listener = loopback::listener(port);
        if (listener < 0) return;
        base = port - 1;
        thread = std::thread([this] {
            while (!quit && loopback::pollIn(listener, 50) == 0) {
            }
            if (quit) return;
            client = loopback::accept(listener);
            std::string got;
            char buf[4096];
            bool answered = false;
            while (!quit) {
                if (loopback::pollIn(client, 50) <= 0) continue;
                long n = loopback::recv(client, buf, sizeof buf);
                if (n <= 0) return;
                got.append(buf, static_cast<size_t>(n));
                if (!answered && got.find("\r\n") != std::string::npos) {
                    answered = true;
                    const char ok[] = "OK2\r\nicy-caps:11\r\n\r\n";
                    loopback::send(client, ok, sizeof ok - 1);
                }
            }
        });
    }
    ~AcceptingServer() {
        quit = true;
        if (thread.joinable()) thread.join();
        if (client >= 0) loopback::close(client);
        loopback::close(listener);
    }
};

}  // namespace

TEST(IcyHeaders, CarryTheStationAndTheNamesExtraLines) {
    auto p = station();
    p.name = "Larkspur FM\r\nicy-icq: 12345\r\nicy-aim: lark\r\nicy-irc: #lark";
    EXPECT_EQ(icy::buildHeaders(p),
              "icy-name:Larkspur FM\r\nicy-genre:Jazz\r\nicy-url:http://larkspur.example/\r\n"
              "icy-description:Late night\r\nicy-pub:1\r\nicy-br:128\r\ncontent-type:audio/mpeg\r\n"
              "icy-icq: 12345\r\nicy-aim: lark\r\nicy-irc: #lark\r\n\r\n");
}

TEST(IcyHeaders, NothingButIcyLinesCanBeSmuggledIn) {
    auto p = station();
    p.name = "Name\r\nContent-Length: 0\r\n\r\nicy-irc: #ok\nnot a header";
    p.genre = "Jazz\r\nicy-evil: 1";
    p.pub = false;
    p.bitrate = 0;
    p.desc.clear();
    p.headers = "X-Extra: yes\r\nbad line";
    std::string h = icy::buildHeaders(p);
    EXPECT_EQ(h,
              "icy-name:Name\r\nicy-genre:Jazzicy-evil: 1\r\nicy-url:http://larkspur.example/\r\n"
              "icy-pub:0\r\ncontent-type:audio/mpeg\r\nicy-irc: #ok\r\nX-Extra: yes\r\n\r\n");
}

TEST(IcyReplies, LoginAndRefusalAreRecognised) {
    EXPECT_EQ(icy::loginReply("OK"), icy::Reply::NeedMore);
    EXPECT_EQ(icy::loginReply("OK2\r\nicy-caps:11\r\n\r\n"), icy::Reply::Ok);
    EXPECT_EQ(icy::loginReply("invalid password\r\n"), icy::Reply::Denied);
    EXPECT_EQ(icy::loginReply(std::string(600, 'x')), icy::Reply::Denied);
    EXPECT_EQ(icy::refusalAfterHeaders("icy-caps:11\r\n\r\nHTTP/1.0 403 Mountpoint in use\r\n"), BASS_ERROR_CAST_INUSE);
    EXPECT_EQ(icy::refusalAfterHeaders("HTTP/1.1 400 Bad Request\r\n"), BASS_ERROR_CAST_DENIED);
    EXPECT_EQ(icy::refusalAfterHeaders("Invalid Password\r\n"), BASS_ERROR_CAST_DENIED);
    EXPECT_EQ(icy::refusalAfterHeaders("HTTP/1.0"), 0);
    EXPECT_EQ(icy::refusalAfterHeaders("icy-caps:11\r\n\r\n"), 0);
}

TEST(IcyHandshake, CannedServerReplies) {
    {
        CannedServer s("OK2\r\nicy-caps:11\r\n\r\n", "");
        EXPECT_EQ(s.handshake(), BASS_OK);
        s.thread.join();  // the client hung up: the server has seen everything
        EXPECT_EQ(s.received.substr(0, 8), "secret\r\n");
        EXPECT_NE(s.received.find("icy-name:Larkspur FM\r\n"), std::string::npos);
        EXPECT_EQ(s.received.substr(s.received.size() - 4), "\r\n\r\n");
    }
    {
        // A watch as long as the deadline: the refusal counts however late the server sends it.
        CannedServer s("OK2\r\nicy-caps:11\r\n\r\n", "HTTP/1.0 403 Mountpoint in use\r\n\r\n");
        EXPECT_EQ(s.handshake(30000, 30000), BASS_ERROR_CAST_INUSE) << "mount in use";
    }
    {
        CannedServer s("HTTP/1.0 404 Not Found\r\n\r\n", "");
        EXPECT_EQ(s.handshake(), BASS_ERROR_CAST_DENIED) << "garbage";
    }
    {
        CannedServer s("", "", true);
        EXPECT_EQ(s.handshake(), BASS_ERROR_CAST_DENIED) << "closed after the password";
    }
    {
        CannedServer s("OK2\r\n\r\n", "close");
        EXPECT_EQ(s.handshake(30000, 30000), BASS_ERROR_CAST_DENIED) << "closed after the headers";
    }
    {
        CannedServer s("", "");
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(s.handshake(300), BASS_ERROR_TIMEOUT) << "silence";
        auto took = std::chrono::steady_clock::now() - t0;
        EXPECT_GE(took, 250ms);  // not before its deadline (how long after depends on the machine)
    }
    {
        CannedServer s("", "");
        std::atomic<bool> cancel{false};
        std::thread canceller([&] {
            std::this_thread::sleep_for(200ms);
            cancel = true;
        });
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(icy::handshake(s.client(), station(), net::after(60000), 200, &cancel), BASS_ERROR_TIMEOUT);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 30s) << "the cancel reaches a handshake under way";
        canceller.join();
    }
}

TEST(IcyLink, PeerGoingAwayGivesOneConnectionNotice) {
    int fds[2];
    ASSERT_TRUE(loopback::pair(fds, true));
    std::atomic<int> notices{0};
    std::atomic<DWORD> last{0};
    icy::Link link(fds[0], [&](DWORD s) {
        last = s;
        ++notices;
    });
    link.push("abc", 3);
    char buf[8];
    for (int i = 0; i < 100 && loopback::recvNow(fds[1], buf, sizeof buf) <= 0; ++i) std::this_thread::sleep_for(10ms);
    loopback::close(fds[1]);
    for (int i = 0; i < 200 && notices == 0; ++i) std::this_thread::sleep_for(10ms);
    link.push("more", 4);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(last, static_cast<DWORD>(BASS_ENCODE_NOTIFY_CAST));
    EXPECT_TRUE(link.dead());
}

// A link's socket with little room in the kernel, so that a peer that stops reading is felt.
bool smallPipe(int fds[2]) {
    return loopback::pair(fds, true, 4096);
}

// Numbered 1000-byte "frames": what reaches the peer must be the stream's prefix, no frame
// missing from the middle.
std::string frame(int i) {
    std::string f(1000, static_cast<char>('a' + i % 26));
    std::string num = std::to_string(i);
    f.replace(0, num.size(), num);
    return f;
}

TEST(IcyLink, ServerFallingBehindIsADeadConnectionNeverACutStream) {
    int fds[2];
    ASSERT_TRUE(smallPipe(fds));
    std::atomic<int> deaths{0}, others{0};
    icy::QueueLimit limit;
    limit.kbps = 64;  // 4 s at 64 kb/s: 32,000 bytes may wait
    icy::Link link(
        fds[0],
        [&](DWORD s) {
            if (s == BASS_ENCODE_NOTIFY_CAST)
                ++deaths;
            else
                ++others;
        },
        limit, std::vector<uint8_t>(20000, 'h'));  // the stream's head is never held against the limit
    std::string got;
    char buf[65536];
    auto drain = [&] {
        long n;
        while ((n = loopback::recvNow(fds[1], buf, sizeof buf)) > 0) got.append(buf, static_cast<size_t>(n));
    };
    // A server that keeps up: each frame is read before the next comes (pushing at a fixed
    // pace instead lets a busy machine's late sender thread look like a server falling behind).
    int i = 0;
    for (; i < 40 && deaths == 0; ++i) {
        link.push(frame(i).data(), 1000);
        const size_t want = 20000 + 1000u * static_cast<size_t>(i + 1);
        for (int t = 0; t < 2000 && got.size() < want; ++t) {
            drain();
            if (got.size() < want) std::this_thread::sleep_for(1ms);
        }
    }
    EXPECT_EQ(deaths, 0);
    ASSERT_EQ(got.size(), 60000u);
    // Then it stops reading: once 32,000 bytes wait (the kernel's share included), the link
    // dies, once.
    for (; i < 200 && deaths == 0; ++i) link.push(frame(i).data(), 1000);
    EXPECT_EQ(deaths, 1);
    EXPECT_TRUE(link.dead());
    EXPECT_GT(i, 40 + 20);
#if defined(_WIN32)
    // Winsock tells nobody what waits in the kernel, so the link's own queue has to fill: the
    // socket's 4 KiB and the loopback peer's window may take their share first.
    EXPECT_LT(i, 40 + 33 + 72);
#else
    EXPECT_LT(i, 40 + 33);
#endif
    link.push(frame(i).data(), 1000);
    std::this_thread::sleep_for(200ms);
    link.stop();
    drain();
    EXPECT_EQ(deaths, 1);
    EXPECT_EQ(others, 0);
    std::string stream(20000, 'h');
    for (int k = 0; k <= i; ++k) stream += frame(k);
    EXPECT_GE(got.size(), 60000u);
    EXPECT_TRUE(got == stream.substr(0, got.size())) << "not a prefix of the stream";
    loopback::close(fds[1]);
}

TEST(IcyLink, StoppingGivesNoNotice) {
    int fds[2];
    ASSERT_TRUE(loopback::pair(fds, true));
    std::atomic<int> notices{0};
    {
        icy::Link link(fds[0], [&](DWORD) { ++notices; });
        std::string big(1500, 'x');
        link.push(big.data(), big.size());
        link.stop();
    }
    loopback::close(fds[1]);
    EXPECT_EQ(notices, 0);
}

TEST(Address, HostAndPort) {
    std::string host;
    int port = 0;
    EXPECT_TRUE(net::splitAddress("radio.example:8000", host, port));
    EXPECT_EQ(host, "radio.example");
    EXPECT_EQ(port, 8000);
    EXPECT_TRUE(net::splitAddress("[::1]:8000", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_FALSE(net::splitAddress("radio.example", host, port));
    EXPECT_FALSE(net::splitAddress("radio.example:", host, port));
    EXPECT_FALSE(net::splitAddress("radio.example:0", host, port));
    EXPECT_FALSE(net::splitAddress("radio.example:-5", host, port));
    EXPECT_FALSE(net::splitAddress("radio.example:70000", host, port));
}

TEST(TitleUpdate, EveryValueIsUrlEncodedByteForByte) {
    EXPECT_EQ(title::urlEncode("AZaz09-_.~"), "AZaz09-_.~");
    EXPECT_EQ(title::urlEncode("a b&c=d?e/f+%"), "a%20b%26c%3Dd%3Fe%2Ff%2B%25");
    EXPECT_EQ(title::urlEncode("Caf\xE9 \xC3\xB6"), "Caf%E9%20%C3%B6");
    EXPECT_EQ(title::buildRequest("radio.example", 8000, "p&w", "A - B", "http://x/?a=1"),
              "GET /admin.cgi?pass=p%26w&mode=updinfo&song=A%20-%20B&url=http%3A%2F%2Fx%2F%3Fa%3D1 HTTP/1.0\r\n"
              "Host: radio.example:8000\r\nUser-Agent: Mozilla/4.0 (compatible; Larkspur)\r\n\r\n");
}

TEST(TitleUpdate, SentOffTheCallersThreadAndAbandonedOnStop) {
    int port = 0;
    int ls = loopback::listener(port);
    ASSERT_GE(ls, 0);
    std::string got;
    std::mutex stopMutex;
    std::condition_variable stopCv;
    bool stopped = false;
    std::atomic<bool> secondIn{false};
    std::thread server([&] {
        int c = loopback::accept(ls);
        char buf[1024];
        long n;
        while (got.find("\r\n\r\n") == std::string::npos && (n = loopback::recv(c, buf, sizeof buf)) > 0)
            got.append(buf, static_cast<size_t>(n));
        std::string reply = "HTTP/1.0 200 OK\r\n\r\n";
        loopback::send(c, reply.data(), reply.size());
        loopback::close(c);
        // The second client is not answered before the sender is stopped.
        c = loopback::accept(ls);
        secondIn = true;
        std::unique_lock<std::mutex> lock(stopMutex);
        stopCv.wait(lock, [&] { return stopped; });
        loopback::close(c);
    });
    {
        title::Sender sender("127.0.0.1", port);
        sender.post(title::buildRequest("127.0.0.1", port, "pw", "Song", ""));
        for (int i = 0; i < 3000 && sender.completed() == 0; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_EQ(sender.lastStatus(), 200);
        EXPECT_EQ(got.substr(0, 47), "GET /admin.cgi?pass=pw&mode=updinfo&song=Song H");
        sender.post(title::buildRequest("127.0.0.1", port, "pw", "Hung", ""));
        for (int i = 0; i < 3000 && !secondIn; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(secondIn);
        sender.stop();  // returns although the server never answers
        std::lock_guard<std::mutex> lock(stopMutex);
        stopped = true;
        stopCv.notify_all();
    }
    loopback::shutdown(ls);  // an accept still waiting for a client that never came
    server.join();
    loopback::close(ls);
}

// A mount that refuses a title for now (a mount not up yet) is asked again until it takes it,
// the same request byte for byte; a title behind a shut gate waits for it to open.
TEST(TitleUpdate, ARefusalForNowIsSentAgainUntilTakenAndAGatedTitleWaitsForItsGate) {
    int port = 0;
    int ls = loopback::listener(port);
    ASSERT_GE(ls, 0);
    std::vector<std::string> requests;
    std::thread server([&] {
        for (const char* reply : {"HTTP/1.0 400 Bad Request\r\n\r\n", "HTTP/1.0 200 OK\r\n\r\n",
                                  "HTTP/1.0 200 OK\r\n\r\n"}) {
            int c = loopback::accept(ls);
            std::string got;
            char buf[1024];
            long n;
            while (got.find("\r\n\r\n") == std::string::npos && (n = loopback::recv(c, buf, sizeof buf)) > 0)
                got.append(buf, static_cast<size_t>(n));
            requests.push_back(got);
            loopback::send(c, reply, std::strlen(reply));
            loopback::close(c);
        }
    });
    std::atomic<int> looks{0};
    {
        title::Sender sender("127.0.0.1", port);
        sender.post(title::buildRequest("127.0.0.1", port, "pw", "Song", ""));
        for (int i = 0; i < 3000 && sender.completed() < 2; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_EQ(sender.completed(), 2u);
        EXPECT_EQ(sender.lastStatus(), 200);
        // Shut for its first three looks: nothing goes out until the fourth.
        sender.post(title::buildRequest("127.0.0.1", port, "pw", "Gated", ""), [&] { return ++looks > 3; });
        server.join();
        EXPECT_EQ(looks.load(), 4);
    }
    loopback::close(ls);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[0].substr(0, 47), "GET /admin.cgi?pass=pw&mode=updinfo&song=Song H");
    EXPECT_EQ(requests[1], requests[0]);
    EXPECT_EQ(requests[2].substr(0, 48), "GET /admin.cgi?pass=pw&mode=updinfo&song=Gated H");
}

TEST(IcyLink, StalledSendingGivesATimeoutNoticeThenADeathAtTheLivenessTime) {
    int fds[2];
    ASSERT_TRUE(smallPipe(fds));
    std::atomic<int> stalls{0}, deaths{0};
    icy::QueueLimit limit;
    limit.stallMs = 300;
    limit.livenessMs = 1500;
    icy::Link link(
        fds[0],
        [&](DWORD s) {
            if (s == BASS_ENCODE_NOTIFY_CAST_TIMEOUT) ++stalls;
            if (s == BASS_ENCODE_NOTIFY_CAST) ++deaths;
        },
        limit);
    std::string chunk(64 * 1024, 'x');  // the peer reads nothing: the socket fills up
    for (int i = 0; i < 4; ++i) link.push(chunk.data(), chunk.size());
    for (int i = 0; i < 1000 && stalls == 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(stalls, 1);
    EXPECT_EQ(deaths, 0);
    EXPECT_FALSE(link.dead());
    // Draining it lets the link carry on.
    char buf[65536];
    for (int i = 0; i < 50; ++i) {
        while (loopback::recvNow(fds[1], buf, sizeof buf) > 0) {
        }
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(link.dead());
    // Stuck again with data waiting: a second notice, then dead at the liveness time.
    for (int i = 0; i < 4; ++i) link.push(chunk.data(), chunk.size());
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 2000 && deaths == 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(deaths, 1);
    EXPECT_EQ(stalls, 2);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 1000ms);  // not before the liveness time
    EXPECT_TRUE(link.dead());
    link.stop();
    loopback::close(fds[1]);
    EXPECT_EQ(deaths, 1);
}

TEST(Address, ConnectingNeverOutlivesItsDeadline) {
    int err = 0;
    EXPECT_LT(net::connectTo("larkspur-no-such-host.invalid", 8001, net::after(500), err), 0);
    EXPECT_TRUE(err == BASS_ERROR_NONET || err == BASS_ERROR_TIMEOUT) << err;
    {
        // A lookup that never answers: only the deadline can end the connect (a clock bound
        // here would fail on a busy machine, not on a wrong engine).
        HungLookup hung;
        EXPECT_LT(net::connectTo("never-answers.example", 8001, net::after(300), err), 0);
        EXPECT_EQ(err, BASS_ERROR_TIMEOUT);
        EXPECT_TRUE(hung.waitEntered(1));
    }
    // Nothing listens on a just-freed loopback port: refused at once.
    EXPECT_LT(net::connectTo("127.0.0.1", loopback::freePort(), net::after(2000), err), 0);
    EXPECT_EQ(err, BASS_ERROR_FILEOPEN);
}

TEST(Teardown, TitleLookupThatNeverAnswersHoldsUpNeitherTheSenderNorTheEncoder) {
    HungLookup hung;
    {
        title::Sender sender("never-answers.example", 8000);
        sender.post("GET / HTTP/1.0\r\n\r\n");
        ASSERT_TRUE(hung.waitEntered(1));
        auto t0 = std::chrono::steady_clock::now();
        sender.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);  // the lookup never returns
    }
    // The same through an encoder on the air: its title sender is in a lookup when it is freed.
    net::setLookupForTests(nullptr);
    AcceptingServer server;
    ASSERT_GT(server.base, 0);
    Encoder enc(44100, 2, nullptr, nullptr);
    ASSERT_EQ(enc.start(LARKSPUR_IDLE_ENCODER, false, 0), BASS_OK);
    ASSERT_EQ(enc.castInit("127.0.0.1:" + std::to_string(server.base), station()), BASS_OK);
    net::setLookupForTests(&HungLookup::lookup);
    ASSERT_EQ(enc.castSetTitle("Song", ""), BASS_OK);
    ASSERT_TRUE(hung.waitEntered(2));
    auto t0 = std::chrono::steady_clock::now();
    enc.shutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 10s);  // the lookup never returns
}

TEST(Teardown, FreeingOrCancellingEndsAHandshakeUnderWay) {
    // A lookup that never answers, then a server that never answers: the handshake on another
    // thread gives up soon after the free (or the cancel), and the free returns soon, not at a
    // deadline. A cancel leaves the encoder running but refuses every later handshake.
    struct Case {
        bool inLookup, cancel;
    };
    for (Case c : {Case{true, false}, Case{false, false}, Case{false, true}}) {
        SCOPED_TRACE(std::string(c.inLookup ? "name lookup" : "silent server") + (c.cancel ? ", cancel" : ", free"));
        std::unique_ptr<HungLookup> hung;
        if (c.inLookup) hung = std::make_unique<HungLookup>();
        int port = 0;
        int ls = loopback::listener(port);  // the kernel accepts; nobody ever answers
        ASSERT_GE(ls, 0);
        Encoder enc(44100, 2, nullptr, nullptr);
        ASSERT_EQ(enc.start(LARKSPUR_IDLE_ENCODER, false, 0), BASS_OK);
        const std::string server = "127.0.0.1:" + std::to_string(port - 1);
        std::atomic<int> result{-1};
        std::atomic<bool> returned{false};
        std::chrono::steady_clock::time_point returnedAt;
        std::thread caster([&] {
            result = enc.castInit(server, station());
            returnedAt = std::chrono::steady_clock::now();
            returned = true;
        });
        if (c.inLookup)
            ASSERT_TRUE(hung->waitEntered(1));
        else
            std::this_thread::sleep_for(300ms);
        auto t0 = std::chrono::steady_clock::now();
        // Both well inside the handshake's own 10 s deadline, which a loaded machine cannot reach.
        if (c.cancel)
            enc.cancelCast();
        else
            enc.shutdown();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
        for (int i = 0; i < 500 && !returned; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(returned);
        caster.join();
        EXPECT_LT(returnedAt - t0, 5s);
        // Its own code, not the deadline's: the handshake was ended, not timed out.
        EXPECT_EQ(result, c.cancel ? BASS_ERROR_CAST_CANCEL : BASS_ERROR_HANDLE);
        if (c.cancel) {
            EXPECT_EQ(enc.castInit(server, station()), BASS_ERROR_CAST_CANCEL);
            EXPECT_FALSE(enc.hasCast());
            enc.shutdown();
        }
        loopback::close(ls);
    }
}
