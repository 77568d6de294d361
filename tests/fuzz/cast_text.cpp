// What the station's texts become on their way out: the station header, the encoder's
// command line, the track title, the title update request and the bytes each server is sent.
// Whatever the fields hold, no text adds a header line, an argument or a request parameter.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "broadcast/connection.h"
#include "broadcast/formats.h"
#include "broadcast/title_status.h"
#include "fuzz_support.h"
#include "net.h"
#include "process.h"
#include "settings/larkspur.h"
#include "text_encoding.h"
#include "title.h"

namespace {

using fuzz_support::check;
using fuzz_support::printable;

std::string firstField(const std::string& s) {
    // As a text field holds it: at most 255 bytes, up to the first NUL.
    std::string t = s.substr(0, std::min<std::size_t>(s.size(), textFieldSize));
    return t.substr(0, t.find('\0'));
}

std::string withoutBreaks(std::string s) {
    std::erase_if(s, [](char c) { return c == '\r' || c == '\n'; });
    return s;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // lower case is not what the encoder writes
}

std::string urlDecode(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '_' || c == '.' || c == '~';
        if (plain) {
            out += c;
            continue;
        }
        check(c == '%' && i + 2 < s.size(), "stray byte in an encoded value", printable(s));
        const int hi = hexValue(s[i + 1]), lo = hexValue(s[i + 2]);
        check(hi >= 0 && lo >= 0, "bad escape", printable(s));
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return out;
}

void checkStationHeader(const Larkspur& r, const std::string& name, const std::string& icq, const std::string& aim,
                        const std::string& irc) {
    const std::string header = stationHeader(r);
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t at; (at = header.find("\r\n", from)) != std::string::npos; from = at + 2)
        parts.push_back(header.substr(from, at - from));
    parts.push_back(header.substr(from));
    for (const auto& part : parts)
        check(part.find_first_of("\r\n") == std::string::npos, "bare line break in the header", printable(header));
    std::vector<std::string> want{withoutBreaks(firstField(name))};
    if (!withoutBreaks(firstField(icq)).empty()) want.push_back("icy-icq: " + withoutBreaks(firstField(icq)));
    if (!withoutBreaks(firstField(aim)).empty()) want.push_back("icy-aim: " + withoutBreaks(firstField(aim)));
    if (!withoutBreaks(firstField(irc)).empty()) want.push_back("icy-irc: " + withoutBreaks(firstField(irc)));
    check(parts == want, "station header", printable(header));
}

void checkCommandLine(const Larkspur& r, const std::string& folder) {
    const auto args = bassx::splitCommandLine(encoderCommandLine(r, folder));
    const StreamFormat& format = formats::encodedAs(textOf(r.contentType));
    const std::string program = folder + "Plugins/Larkspur/" + std::string(format.program);
    const std::string rate = std::to_string(r.sampleRate), bitrate = std::to_string(r.bitrate);
    std::vector<std::string> want;
    if (&format == &formats::mp3)
        want = {program, "-r", "-s", rate, "-b", bitrate, "-"};
    else if (&format == &formats::opus)
        want = {program, "--quiet", "--raw", "--raw-rate", rate, "--raw-chan", "2", "--bitrate", bitrate,
                "--cvbr", "-", "-"};
    else if (&format == &formats::flac)
        want = {program, "--silent", "--ogg", "--force-raw-format", "--endian=little", "--sign=signed",
                "--channels=2", "--bps=16", "--sample-rate=" + rate, "-"};
    else
        want = {program, "-r", "-R", rate, "-b", bitrate, "-m", bitrate, "-"};
    // A double quote in the folder cannot be written in this command line at all.
    if (folder.find('"') == std::string::npos)
        check(args == want, "encoder arguments", printable(encoderCommandLine(r, folder)));
}

void checkTitle(const std::string& hostTitle) {
    const std::string title = trackTitle(hostTitle);
    check(hostTitle.find(title) != std::string::npos, "the title is not part of the host's");
    const auto space = hostTitle.find(' ');
    std::string rest = space == std::string::npos ? hostTitle : hostTitle.substr(space + 1);
    if (rest.ends_with(" - Winamp")) rest.resize(rest.size() - 9);
    check(title == rest, "title", printable(hostTitle));
}

void checkTitleRequest(const Larkspur& r, const std::string& password, const std::string& song,
                       const std::string& url) {
    std::string host;
    int port = 0;
    if (!bassx::net::splitAddress(serverAddress(r), host, port)) return;
    const std::string request = bassx::title::buildRequest(host, port, password, song, url);
    check(request.ends_with("\r\n\r\n"), "request end");
    check(request.find("\r\n\r\n") == request.size() - 4, "blank line inside the request", printable(request));
    const std::string line = request.substr(0, request.find("\r\n"));
    check(line.rfind("GET /admin.cgi?", 0) == 0 && line.ends_with(" HTTP/1.0"), "request line", printable(line));
    const std::string query = line.substr(15, line.size() - 15 - 9);
    check(query.find_first_of(" #\r\n") == std::string::npos, "query", printable(query));
    std::vector<std::pair<std::string, std::string>> params;
    std::size_t from = 0;
    for (;;) {
        const auto amp = query.find('&', from);
        const std::string item = query.substr(from, amp == std::string::npos ? std::string::npos : amp - from);
        const auto eq = item.find('=');
        check(eq != std::string::npos, "parameter without a value", printable(query));
        params.emplace_back(item.substr(0, eq), urlDecode(item.substr(eq + 1)));
        if (amp == std::string::npos) break;
        from = amp + 1;
    }
    std::vector<std::pair<std::string, std::string>> want{{"pass", password}, {"mode", "updinfo"}, {"song", song}};
    if (!url.empty()) want.emplace_back("url", url);
    check(params == want, "request parameters", printable(query));
    for (std::size_t at = 0, next; (next = request.find("\r\n", at)) != std::string::npos; at = next + 2)
        check(request.substr(at, next - at).find_first_of("\r\n") == std::string::npos, "request line break");
}

// Strict UTF-8: shortest forms, no surrogates, nothing past U+10FFFF.
bool validUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
        for (std::size_t k = 1; k < n; ++k) {
            const auto d = static_cast<unsigned char>(s[i + k]);
            if ((d & 0xC0) != 0x80) return false;
            cp = cp << 6 | (d & 0x3F);
        }
        const std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

// What a server is sent of a text: valid UTF-8 whatever the field holds (the same text when it
// was valid), Latin-1 bytes that are the characters of its Latin-1 choice, and no line break
// or NUL that was not there.
void checkServerText(const std::string& s) {
    using namespace bassx::text;
    const std::string utf8 = encode(s, Charset::Utf8);
    const std::string kept = restrictTo(s, Charset::Latin1);
    const std::string latin1 = encode(s, Charset::Latin1);
    check(validUtf8(utf8) && validUtf8(kept), "not UTF-8", printable(s));
    if (validUtf8(s)) check(utf8 == s, "valid UTF-8 changed", printable(s));
    check(repairedUtf8(utf8) == utf8, "repairing twice changes the text", printable(s));
    check(encode(kept, Charset::Latin1) == latin1, "Latin-1 bytes and their UTF-8 form differ", printable(s));
    for (char c : {'\r', '\n', '\0'}) {
        const auto in = std::count(s.begin(), s.end(), c);
        check(std::count(utf8.begin(), utf8.end(), c) == in && std::count(latin1.begin(), latin1.end(), c) == in,
              "a control byte appeared or went", printable(s));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    auto r = std::make_unique<Larkspur>();
    const std::string server = in.ConsumeRandomLengthString(300);
    const std::string password = in.ConsumeRandomLengthString(300);
    const std::string name = in.ConsumeRandomLengthString(300);
    const std::string icq = in.ConsumeRandomLengthString(300);
    const std::string aim = in.ConsumeRandomLengthString(300);
    const std::string irc = in.ConsumeRandomLengthString(300);
    const std::string url = in.ConsumeRandomLengthString(300);
    const std::string type = in.ConsumeBool() ? std::string("audio/mpeg") : in.ConsumeRandomLengthString(300);
    const std::string folder = in.ConsumeRandomLengthString(300);
    const std::string hostTitle = in.ConsumeRandomLengthString(400);
    storeText(r->server, server);
    storeText(r->password, password);
    storeText(r->stationName, name);
    storeText(r->icq, icq);
    storeText(r->aim, aim);
    storeText(r->irc, irc);
    storeText(r->url, url);
    storeText(r->contentType, type);
    r->port = in.ConsumeIntegral<std::int32_t>();
    r->bitrate = in.ConsumeIntegral<std::int32_t>();
    r->sampleRate = in.ConsumeIntegral<std::int32_t>();

    checkStationHeader(*r, name, icq, aim, irc);
    checkCommandLine(*r, folder);
    checkTitle(hostTitle);
    checkTitleRequest(*r, password, trackTitle(hostTitle), url);
    checkServerText(name);
    checkServerText(hostTitle);
    return 0;
}
