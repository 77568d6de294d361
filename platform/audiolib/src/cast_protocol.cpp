#include "cast_protocol.h"

#include "bass.h"
#include "title.h"

namespace bassx::cast {
namespace {

int openIcy(const Address& a, const icy::CastParams& p, icecast2::Format, net::Deadline deadline,
            const std::atomic<bool>* cancel, std::unique_ptr<net::Transport>& out) {
    int err = 0;
    int fd = net::connectTo(a.host, a.port + 1, deadline, err, cancel);
    if (fd < 0) return err;
    err = icy::handshake(fd, p, deadline, icy::kDeniedWatchMs, cancel);
    if (err) {
        net::closeFd(fd);
        return err;
    }
    out = net::plain(fd);
    return BASS_OK;
}

std::string icyTitle(const Address& a, const std::string& pass, const std::string& song, const std::string& url) {
    return title::buildRequest(a.host, a.port, pass, song, url);
}

int openIcecast2(const Address& a, const icy::CastParams& p, icecast2::Format f, net::Deadline deadline,
                 const std::atomic<bool>* cancel, std::unique_ptr<net::Transport>& out) {
    // PUT first; a server before 2.4 does not know it and takes SOURCE on a new connection.
    for (const char* method : {"PUT", "SOURCE"}) {
        int err = 0;
        auto t = net::open(a.host, a.port, a.tls, deadline, err, cancel);
        if (!t) return err;
        int status = 0;
        err = icecast2::handshake(*t, icecast2::buildRequest(method, a, p, f), deadline, status,
                                  icecast2::kContinueWatchMs, cancel);
        if (!err) {
            out = std::move(t);
            return BASS_OK;
        }
        if (!icecast2::unknownMethod(status)) return err;
    }
    return BASS_ERROR_CAST_STATUS;
}

// SHOUTcast v1 titles are taken as raw bytes; Icecast 2's admin request declares UTF-8 and the
// server converts to the mount's charset, turning a character the mount lacks into "&#NNN;".
const Handler kHandlers[] = {
    {"SHOUTcast v1", openIcy, icyTitle, text::encode},
    {"Icecast 2", openIcecast2, icecast2::metadataRequest, text::restrictTo},
};

}  // namespace

const Handler& protocolFor(const Address& a) { return kHandlers[a.protocol == Protocol::Icecast2 ? 1 : 0]; }

icy::CastParams inServerCharset(const icy::CastParams& p) {
    const text::Charset charset = text::charsetFor(p.content);
    icy::CastParams out = p;
    for (std::string* field : {&out.name, &out.url, &out.genre, &out.desc, &out.headers})
        *field = text::encode(*field, charset);
    return out;
}

}  // namespace bassx::cast
