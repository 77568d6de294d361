// A chained Ogg stream taken apart for tests: its links in order, each with its serial number,
// its bytes and the tags of its comment header (Ogg Opus and Ogg FLAC).
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace ogg_links {

struct Link {
    std::uint32_t serial = 0;
    std::vector<std::uint8_t> bytes;          // its pages, as they came
    std::vector<std::vector<std::uint8_t>> packets;
    std::map<std::string, std::string> tags;  // upper-case names; the last of a name wins
    std::int64_t lastGranule = -1;
    bool ended = false;                       // its last page carries the end-of-stream flag

    std::string tag(const std::string& name) const {
        const auto it = tags.find(name);
        return it == tags.end() ? "<none>" : it->second;
    }
};

struct Parsed {
    std::vector<Link> links;
    bool wellFormed = true;  // every page whole and in a link that began with its first page
};

inline std::uint32_t le32(const std::uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }

// Vorbis-comment fields "NAME=value" after a vendor string, as Opus and FLAC both store them.
inline void readComments(const std::uint8_t* p, std::size_t n, std::map<std::string, std::string>& tags) {
    std::size_t at = 0;
    auto take32 = [&](std::uint32_t& v) {
        if (at + 4 > n) return false;
        v = le32(p + at);
        at += 4;
        return true;
    };
    std::uint32_t len = 0, count = 0;
    if (!take32(len) || (at += len) > n || !take32(count)) return;
    for (std::uint32_t i = 0; i < count && take32(len) && at + len <= n; ++i) {
        std::string field(reinterpret_cast<const char*>(p + at), len);
        at += len;
        const auto eq = field.find('=');
        if (eq == std::string::npos) continue;
        std::string name = field.substr(0, eq);
        for (char& c : name) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
        tags[name] = field.substr(eq + 1);
    }
}

inline void readTags(Link& link) {
    for (const auto& packet : link.packets) {
        const std::uint8_t* p = packet.data();
        if (packet.size() >= 8 && std::memcmp(p, "OpusTags", 8) == 0) readComments(p + 8, packet.size() - 8, link.tags);
        // An Ogg FLAC metadata block: type 4 is the Vorbis comment.
        if (packet.size() >= 4 && (p[0] & 0x7F) == 4) readComments(p + 4, packet.size() - 4, link.tags);
    }
}

inline Parsed parse(const std::vector<std::uint8_t>& data) {
    Parsed out;
    std::size_t at = 0;
    std::vector<std::uint8_t> partial;
    while (at + 27 <= data.size()) {
        const std::uint8_t* h = data.data() + at;
        if (std::memcmp(h, "OggS", 4) != 0) {
            out.wellFormed = false;
            break;
        }
        const std::uint8_t flags = h[5];
        std::int64_t granule = 0;
        std::memcpy(&granule, h + 6, 8);
        const std::uint32_t serial = le32(h + 14);
        const std::size_t segments = h[26];
        if (at + 27 + segments > data.size()) break;
        std::size_t body = 0;
        for (std::size_t i = 0; i < segments; ++i) body += h[27 + i];
        const std::size_t size = 27 + segments + body;
        if (at + size > data.size()) break;  // cut off: the end of what was received
        if (flags & 2) {
            out.links.push_back(Link{});
            out.links.back().serial = serial;
            partial.clear();
        }
        if (out.links.empty() || out.links.back().serial != serial) {
            out.wellFormed = false;
            break;
        }
        Link& link = out.links.back();
        link.bytes.insert(link.bytes.end(), h, h + size);
        const std::uint8_t* b = h + 27 + segments;
        for (std::size_t i = 0; i < segments; ++i) {
            partial.insert(partial.end(), b, b + h[27 + i]);
            b += h[27 + i];
            if (h[27 + i] < 255) link.packets.push_back(std::move(partial)), partial.clear();
        }
        if (granule >= 0) link.lastGranule = granule;
        link.ended = (flags & 4) != 0;
        at += size;
    }
    for (Link& link : out.links) readTags(link);
    return out;
}

// The bytes of links [from, to), for a decoder.
inline std::vector<std::uint8_t> bytesOf(const std::vector<Link>& links, std::size_t from, std::size_t to) {
    std::vector<std::uint8_t> all;
    for (std::size_t i = from; i < to && i < links.size(); ++i)
        all.insert(all.end(), links[i].bytes.begin(), links[i].bytes.end());
    return all;
}

}  // namespace ogg_links
