// The source handshake against any server reply, on a socket pair: it ends well within its
// deadline, takes the source only after a reply line starting "OK" with no refusal after the
// headers, and whatever the station texts hold, every header line it sends is one
// "name:value" line with a token name, ending in exactly one blank line.
#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "bass.h"
#include "fuzz_support.h"
#include "icy.h"

namespace {

using fuzz_support::check;
using fuzz_support::printable;

std::vector<std::string> linesOf(const std::string& block) {
    std::vector<std::string> lines;
    std::size_t from = 0;
    for (std::size_t at; (at = block.find("\r\n", from)) != std::string::npos; from = at + 2)
        lines.push_back(block.substr(from, at - from));
    check(from == block.size(), "header block does not end with CR LF", printable(block));
    return lines;
}

bool tokenHeader(const std::string& line) {
    const auto colon = line.find(':');
    if (colon == std::string::npos || colon == 0) return false;
    for (std::size_t i = 0; i < colon; ++i) {
        const char c = line[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    }
    return line.find_first_of("\r\n") == std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
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

    // The pure steps first.
    const auto login = bassx::icy::loginReply(reply);
    if (reply.compare(0, 2, "OK") != 0 && reply.size() >= 2) check(login != bassx::icy::Reply::Ok, "login", printable(reply));
    (void)bassx::icy::refusalAfterHeaders(reply);

    int pair[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "socketpair");
    const int ours = pair[0], server = pair[1];
    ::fcntl(ours, F_SETFL, O_NONBLOCK);
    if (!reply.empty()) check(::send(server, reply.data(), reply.size(), MSG_NOSIGNAL) == ssize_t(reply.size()), "send");
    ::shutdown(server, SHUT_WR);  // the server has said all it will say

    const auto start = std::chrono::steady_clock::now();
    const int err = bassx::icy::handshake(ours, p, bassx::net::after(2000), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    check(took < std::chrono::milliseconds(2500), "handshake overran its deadline");

    const auto eol = reply.find('\n');
    if (err == BASS_OK)
        check(eol != std::string::npos && reply.compare(0, 2, "OK") == 0, "took the source without OK", printable(reply));

    // What the server got: the login line, then (after an OK) the header block.
    std::string sent;
    char buf[4096];
    ::fcntl(server, F_SETFL, O_NONBLOCK);
    for (ssize_t n; (n = ::recv(server, buf, sizeof buf, 0)) > 0;) sent.append(buf, static_cast<std::size_t>(n));
    ::close(ours);
    ::close(server);

    const auto loginEnd = sent.find("\r\n");
    check(loginEnd != std::string::npos, "no login line", printable(sent));
    check(sent.substr(0, loginEnd).find_first_of("\r\n") == std::string::npos, "login line broken");
    const std::string headers = sent.substr(loginEnd + 2);
    if (headers.empty()) return 0;
    check(headers.size() >= 2 && headers.ends_with("\r\n\r\n"), "headers end", printable(headers));
    const auto lines = linesOf(headers.substr(0, headers.size() - 2));
    for (const auto& line : lines) check(tokenHeader(line), "not a header line", printable(line));
    check(!lines.empty() && lines[0].rfind("icy-name:", 0) == 0, "icy-name first", printable(headers));
    return 0;
}
