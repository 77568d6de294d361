// The server address a cast receives, read into the protocol it asks for and where to go:
//   host:port                       SHOUTcast v1 (source on port + 1)
//   host:port/mount                 Icecast 2
//   http://[user@]host:port/mount   Icecast 2
//   https://[user@]host:port/mount  Icecast 2 over TLS
#pragma once

#include <string>

namespace bassx::cast {

enum class Protocol { IcyV1, Icecast2 };

struct Address {
    Protocol protocol = Protocol::IcyV1;
    bool tls = false;
    std::string user;   // Icecast 2 source user
    std::string host;   // without the brackets of an IPv6 literal
    int port = 0;       // as written; SHOUTcast v1 sources go to port + 1
    std::string mount;  // "/live"; Icecast 2 only
};

constexpr const char* kDefaultUser = "source";

// BASS error code: 0 with `out` filled, BASS_ERROR_CAST_ADDRESS for a text we cannot read
// (BASS_ERROR_ILLPARAM for a bad "host:port", as it always was).
int parseAddress(const std::string& text, Address& out);

// The host as it goes into a Host header or a log line: IPv6 literals in brackets.
std::string hostForUrl(const Address& a);

}  // namespace bassx::cast
