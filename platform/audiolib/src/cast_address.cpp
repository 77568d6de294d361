#include "cast_address.h"

#include "bass.h"
#include "header_text.h"
#include "net.h"

namespace bassx::cast {
namespace {

// Printable ASCII without space: anything else in a request line could split or end it.
bool printableToken(const std::string& s, const char* alsoRefused) {
    for (unsigned char c : s) {
        if (c <= 0x20 || c >= 0x7F) return false;
        for (const char* r = alsoRefused; *r; ++r)
            if (c == static_cast<unsigned char>(*r)) return false;
    }
    return true;
}

}  // namespace

int parseAddress(const std::string& text, Address& out) {
    Address a;
    std::string rest = text;
    bool explicitScheme = false;
    auto scheme = rest.find("://");
    if (scheme != std::string::npos) {
        std::string name = rest.substr(0, scheme);
        if (hdr::startsWithNoCase(name, "https") && name.size() == 5)
            a.tls = true;
        else if (!(hdr::startsWithNoCase(name, "http") && name.size() == 4))
            return BASS_ERROR_CAST_ADDRESS;
        rest = rest.substr(scheme + 3);
        explicitScheme = true;
    }
    auto slash = rest.find('/');
    if (slash == std::string::npos && !explicitScheme) {
        // The old form, taken exactly as before: everything up to the last ':' is the host.
        if (!net::splitAddress(rest, a.host, a.port) || a.port >= 65535) return BASS_ERROR_ILLPARAM;
        out = a;
        return 0;
    }
    a.protocol = Protocol::Icecast2;
    std::string authority = rest.substr(0, slash);
    a.mount = slash == std::string::npos ? std::string() : rest.substr(slash);
    if (a.mount.size() < 2 || !printableToken(a.mount, "?#")) return BASS_ERROR_CAST_ADDRESS;
    auto at = authority.rfind('@');
    if (at != std::string::npos) {
        a.user = authority.substr(0, at);
        authority = authority.substr(at + 1);
        // Basic authentication joins user and password with ':'.
        if (a.user.empty() || !printableToken(a.user, ":")) return BASS_ERROR_CAST_ADDRESS;
    } else {
        a.user = kDefaultUser;
    }
    if (!net::splitAddress(authority, a.host, a.port) || a.host.empty() || !printableToken(a.host, "@/[]"))
        return BASS_ERROR_CAST_ADDRESS;
    // A ':' in the host is an IPv6 literal, and those come in brackets: "radio:80:80" is no host.
    if (a.host.find(':') != std::string::npos && authority.front() != '[') return BASS_ERROR_CAST_ADDRESS;
    out = a;
    return 0;
}

std::string hostForUrl(const Address& a) {
    return a.host.find(':') != std::string::npos ? "[" + a.host + "]" : a.host;
}

}  // namespace bassx::cast
