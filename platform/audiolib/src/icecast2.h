// Our Icecast 2 source client: an HTTP PUT of the mount (SOURCE for servers before 2.4) with
// Basic authentication and the station's texts as ice-* header lines, its reply read into a
// BASS error code, and the admin request that sets a mount's title. Pure steps, so they can
// be checked against canned server replies.
#pragma once

#include <string>

#include "cast_address.h"
#include "icy.h"
#include "transport.h"

namespace bassx::icecast2 {

// After "100 Continue" a server may still refuse; silence this long means the source was taken.
constexpr int kContinueWatchMs = 400;
constexpr size_t kMaxReplyHead = 8192;

struct Format {
    DWORD rate = 44100, chans = 2;
};

std::string base64(const std::string& s);

// The request head, ending with the blank line. `method` is "PUT" (HTTP/1.1, Expect:
// 100-continue) or "SOURCE" (HTTP/1.0). Station texts lose CR and LF; the name's further
// "icy-...: value" lines and the extra `headers` lines of the form "Name: value" become
// header lines of their own, nothing else can add one.
std::string buildRequest(const char* method, const cast::Address& a, const icy::CastParams& p, Format f);

struct ReplyHead {
    int status = 0;     // 0 while incomplete, -1 when it is no HTTP reply
    size_t length = 0;  // bytes of the head, blank line included
};
ReplyHead parseReply(const std::string& received);

// The BASS error code of a final status: 0 for 2xx.
int errorFor(int status);
// Statuses of a server that does not know PUT.
bool unknownMethod(int status);

// Sends the request and reads the answer. BASS error code, 0 when the server took the
// source; `status` is the final status (0 when none arrived). A cancel ends it within a
// fraction of a second (BASS_ERROR_TIMEOUT).
int handshake(net::Transport& t, const std::string& request, net::Deadline deadline, int& status,
              int watchMs = kContinueWatchMs, const std::atomic<bool>* cancel = nullptr);

// GET /admin/metadata?mount=..&mode=updinfo&song=..[&url=..]&charset=UTF-8 with the source's
// credentials: the song and URL are UTF-8, which the server converts to the mount's charset.
std::string metadataRequest(const cast::Address& a, const std::string& pass, const std::string& song,
                            const std::string& url);

}  // namespace bassx::icecast2
