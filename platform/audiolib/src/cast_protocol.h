// The source protocols as data, one entry each, chosen by the address a cast receives: how
// to open the source connection and how to tell the server a new title.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "cast_address.h"
#include "icecast2.h"
#include "icy.h"
#include "text_encoding.h"
#include "transport.h"

namespace bassx::cast {

struct Handler {
    const char* name;
    // Connects and runs the source handshake. BASS error code; 0 with the connection in out.
    int (*open)(const Address& a, const icy::CastParams& p, icecast2::Format f, net::Deadline deadline,
                const std::atomic<bool>* cancel, std::unique_ptr<net::Transport>& out);
    // The whole title request, sent to the address's own port (over TLS when it says so).
    std::string (*titleRequest)(const Address& a, const std::string& pass, const std::string& song,
                                const std::string& url);
    // A title's text (UTF-8) as that request carries it, for a stream whose texts the server
    // reads in `charset`.
    std::string (*titleText)(const std::string& utf8, text::Charset charset);
};

const Handler& protocolFor(const Address& a);

// The station's texts (UTF-8) in the bytes the server reads for that content type; the
// password and the content type stay as they are.
icy::CastParams inServerCharset(const icy::CastParams& p);

}  // namespace bassx::cast
