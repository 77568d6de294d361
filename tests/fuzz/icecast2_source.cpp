// The Icecast 2 source against any address text, station texts and server reply: an address
// is either refused or gives a mount and host that cannot split a request line; the request
// head is one request line, "Name: value" lines and one blank line whatever the texts hold;
// the handshake ends within its deadline and takes the source only on a 1xx or 2xx status.
#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "bass.h"
#include "cast_address.h"
#include "fuzz_support.h"
#include "icecast2.h"
#include "transport.h"

namespace {

using fuzz_support::check;
using fuzz_support::printable;

bool clean(const std::string& s) {
    for (unsigned char c : s)
        if (c <= 0x20 || c >= 0x7F) return false;
    return true;
}

void checkHead(const std::string& head) {
    check(head.ends_with("\r\n\r\n") && head.find("\r\n\r\n") == head.size() - 4, "one blank line at the end",
          printable(head));
    std::size_t from = head.find("\r\n") + 2;
    for (std::size_t at; (at = head.find("\r\n", from)) != std::string::npos && at > from; from = at + 2) {
        const std::string line = head.substr(from, at - from);
        const auto colon = line.find(':');
        check(colon != std::string::npos && colon > 0, "not a header line", printable(line));
        for (std::size_t i = 0; i < colon; ++i) {
            const char c = line[i];
            check((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_',
                  "header name", printable(line));
        }
        check(line.find_first_of("\r\n") == std::string::npos, "line break inside a line", printable(line));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string text = in.ConsumeRandomLengthString(300);
    bassx::icy::CastParams p;
    p.password = in.ConsumeRandomLengthString(300);
    p.name = in.ConsumeRandomLengthString(300);
    p.genre = in.ConsumeRandomLengthString(300);
    p.url = in.ConsumeRandomLengthString(300);
    p.desc = in.ConsumeRandomLengthString(300);
    p.content = in.ConsumeRandomLengthString(300);
    p.headers = in.ConsumeBool() ? in.ConsumeRandomLengthString(300) : std::string();
    p.bitrate = in.ConsumeIntegral<DWORD>();
    p.pub = in.ConsumeBool();
    const std::string reply = in.ConsumeRemainingBytesAsString();

    bassx::cast::Address a;
    if (bassx::cast::parseAddress(text, a) == 0 && a.protocol == bassx::cast::Protocol::Icecast2) {
        check(a.mount.size() >= 2 && a.mount[0] == '/' && clean(a.mount), "mount", printable(text));
        check(!a.host.empty() && clean(a.host) && !a.user.empty() && clean(a.user), "host or user", printable(text));
        check(a.user.find(':') == std::string::npos, "user with ':'", printable(text));
        check(a.port >= 1 && a.port <= 65535, "port", printable(text));
        checkHead(bassx::icecast2::buildRequest("PUT", a, p, {}));
    }
    bassx::cast::Address fixed;
    bassx::cast::parseAddress("http://dj@radio.example:8000/live", fixed);
    const std::string put = bassx::icecast2::buildRequest("PUT", fixed, p, {});
    checkHead(put);
    checkHead(bassx::icecast2::buildRequest("SOURCE", fixed, p, {}));
    const auto head = bassx::icecast2::parseReply(reply);
    check(head.status == 0 || head.status == -1 || (head.status >= 100 && head.status <= 999), "status");
    check(head.length <= reply.size(), "head longer than the reply");

    int pair[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
    const int server = pair[1];
    ::fcntl(pair[0], F_SETFL, O_NONBLOCK);
    ::fcntl(server, F_SETFL, O_NONBLOCK);
    if (!reply.empty()) (void)::send(server, reply.data(), reply.size(), MSG_NOSIGNAL);
    ::shutdown(server, SHUT_WR);  // the server has said all it will say
    auto conn = bassx::net::plain(pair[0]);
    const auto start = std::chrono::steady_clock::now();
    int status = 0;
    const int err = bassx::icecast2::handshake(*conn, put, bassx::net::after(1000), status, 0);
    check(std::chrono::steady_clock::now() - start < std::chrono::milliseconds(1500), "handshake overran");
    if (err == BASS_OK)
        check(reply.compare(0, 5, "HTTP/") == 0 && (status == 0 || (status >= 200 && status < 300)),
              "took the source without a go-ahead", printable(reply));
    conn.reset();
    ::close(server);
    return 0;
}
