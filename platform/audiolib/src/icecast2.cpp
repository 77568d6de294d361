#include "icecast2.h"

#include <cstdlib>

#include "bass.h"
#include "header_text.h"
#include "title.h"

namespace bassx::icecast2 {
namespace {

using hdr::oneLine;

std::string hostHeader(const cast::Address& a) { return cast::hostForUrl(a) + ":" + std::to_string(a.port); }

std::string authorization(const cast::Address& a, const std::string& pass) {
    return "Authorization: Basic " + base64(a.user + ":" + oneLine(pass)) + "\r\n";
}

void addValue(std::string& h, const char* name, const std::string& value) {
    std::string v = oneLine(value);
    if (!v.empty()) h += std::string(name) + ": " + v + "\r\n";
}

}  // namespace

std::string base64(const std::string& s) {
    static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < s.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(s[i]) << 16 | static_cast<unsigned char>(s[i + 1]) << 8 |
                     static_cast<unsigned char>(s[i + 2]);
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += abc[(v >> 6) & 63];
        out += abc[v & 63];
    }
    if (i < s.size()) {
        unsigned v = static_cast<unsigned char>(s[i]) << 16;
        if (i + 1 < s.size()) v |= static_cast<unsigned char>(s[i + 1]) << 8;
        out += abc[v >> 18];
        out += abc[(v >> 12) & 63];
        out += i + 1 < s.size() ? abc[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::string buildRequest(const char* method, const cast::Address& a, const icy::CastParams& p, Format f) {
    const bool put = std::string(method) == "PUT";
    auto nameLines = hdr::splitLines(p.name);
    std::string h = std::string(method) + " " + a.mount + (put ? " HTTP/1.1\r\n" : " HTTP/1.0\r\n");
    h += "Host: " + hostHeader(a) + "\r\n";
    h += authorization(a, p.password);
    h += "User-Agent: Larkspur\r\n";
    addValue(h, "Content-Type", p.content);
    if (put) h += "Expect: 100-continue\r\n";
    h += std::string("ice-public: ") + (p.pub ? "1" : "0") + "\r\n";
    addValue(h, "ice-name", nameLines.empty() ? std::string() : nameLines[0]);
    addValue(h, "ice-genre", p.genre);
    addValue(h, "ice-url", p.url);
    addValue(h, "ice-description", p.desc);
    std::string info = "samplerate=" + std::to_string(f.rate) + ";channels=" + std::to_string(f.chans);
    if (p.bitrate) {
        info = "bitrate=" + std::to_string(p.bitrate) + ";" + info;
        h += "ice-bitrate: " + std::to_string(p.bitrate) + "\r\n";
    }
    h += "ice-audio-info: " + info + "\r\n";
    for (size_t i = 1; i < nameLines.size(); ++i)
        if (hdr::startsWithNoCase(nameLines[i], "icy-") && hdr::headerLine(nameLines[i])) h += nameLines[i] + "\r\n";
    for (auto& line : hdr::splitLines(p.headers))
        if (hdr::headerLine(line)) h += line + "\r\n";
    h += "\r\n";
    return h;
}

ReplyHead parseReply(const std::string& received) {
    ReplyHead r;
    size_t end = received.find("\r\n\r\n");
    size_t endLen = 4;
    size_t bare = received.find("\n\n");
    if (bare != std::string::npos && (end == std::string::npos || bare < end)) end = bare, endLen = 2;
    if (end == std::string::npos) {
        // Enough to tell a reply that is no HTTP at all, or one without an end.
        bool notHttp = received.size() >= 5 && received.compare(0, 5, "HTTP/") != 0;
        if (notHttp || received.size() > kMaxReplyHead) r.status = -1;
        return r;
    }
    r.length = end + endLen;
    r.status = -1;
    if (received.compare(0, 5, "HTTP/") != 0) return r;
    auto sp = received.find(' ');
    if (sp == std::string::npos || sp > end || sp + 4 > received.size()) return r;
    int code = 0;
    for (size_t i = sp + 1; i < sp + 4; ++i) {
        char c = received[i];
        if (c < '0' || c > '9') return r;
        code = code * 10 + (c - '0');
    }
    if (code < 100) return r;
    r.status = code;
    return r;
}

int errorFor(int status) {
    if (status >= 200 && status < 300) return BASS_OK;
    if (status == 401) return BASS_ERROR_CAST_AUTH;
    if (status == 403) return BASS_ERROR_CAST_INUSE;
    return BASS_ERROR_CAST_STATUS;
}

bool unknownMethod(int status) { return status == 400 || status == 405 || status == 501; }

int handshake(net::Transport& t, const std::string& request, net::Deadline deadline, int& status, int watchMs,
              const std::atomic<bool>* cancel) {
    status = 0;
    auto cancelled = [&] { return cancel && cancel->load(); };
    if (!net::sendAll(t, request.data(), request.size(), deadline, cancel))
        return std::chrono::steady_clock::now() >= deadline || cancelled() ? BASS_ERROR_TIMEOUT
                                                                           : BASS_ERROR_CAST_STATUS;
    std::string got;
    char buf[1024];
    bool continued = false;
    net::Deadline until = deadline;
    for (;;) {
        ReplyHead head = parseReply(got);
        if (head.status < 0) return BASS_ERROR_CAST_STATUS;
        if (head.status >= 100 && head.status < 200) {
            // Go ahead: only a refusal that follows at once still counts.
            got.erase(0, head.length);
            continued = true;
            until = std::min(deadline, net::after(watchMs));
            continue;
        }
        if (head.status > 0) {
            status = head.status;
            return errorFor(status);
        }
        long n = net::recvSome(t, buf, sizeof buf, until, cancel);
        if (n == -2) return continued && !cancelled() ? BASS_OK : BASS_ERROR_TIMEOUT;
        if (n <= 0) return BASS_ERROR_CAST_STATUS;
        got.append(buf, static_cast<size_t>(n));
    }
}

std::string metadataRequest(const cast::Address& a, const std::string& pass, const std::string& song,
                            const std::string& url) {
    std::string r = "GET /admin/metadata?mount=" + title::urlEncode(a.mount) +
                    "&mode=updinfo&song=" + title::urlEncode(song);
    if (!url.empty()) r += "&url=" + title::urlEncode(url);
    r += "&charset=UTF-8";
    r += " HTTP/1.0\r\nHost: " + hostHeader(a) + "\r\n" + authorization(a, pass) +
         "User-Agent: Larkspur\r\n\r\n";
    return r;
}

}  // namespace bassx::icecast2
