// The stream formats, in the order of the window's format list: what the list shows, the word
// the settings file's text part uses, the content types, the encoder program, the bitrates
// offered and a recording's file name extension. Everything that names a format reads it here.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

struct StreamFormat {
    std::string_view name;         // item of the format list (control 22)
    std::string_view key;          // word in the settings file's text part; empty: not kept there
    std::string_view contentType;  // the record's contentType, one per format
    // What the server is told. Icecast treats a stream as Ogg (and hands a listener who comes
    // in later the headers of the running stream) only for the bare Ogg types, so Opus and
    // FLAC are sent as "audio/ogg" and told apart in the record by their codecs parameter.
    std::string_view serverType;
    std::string_view program;      // in Plugins/Larkspur/; empty: the window refuses the format
    std::span<const int> bitrates;  // kb/s offered; empty: nothing to choose (lossless)
    bool titlesInStream;           // titles go in a new chained Ogg stream, not by URL
    std::string_view extension;    // of a recording's files
};

namespace formats {

inline constexpr std::array<int, 14> classicBitrates{32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
inline constexpr std::array<int, 15> opusBitrates{16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256};

inline constexpr std::array<StreamFormat, 5> all{{
    {"MP3", "mp3", "audio/mpeg", "audio/mpeg", "lame", classicBitrates, false, ".mp3"},
    {"AAC", "", "audio/aacp", "audio/aacp", "", classicBitrates, false, ".aac"},
    {"OGG", "vorbis", "application/ogg", "application/ogg", "oggenc", classicBitrates, false, ".ogg"},
    {"Opus", "opus", "audio/ogg; codecs=opus", "audio/ogg", "opusenc", opusBitrates, true, ".opus"},
    {"FLAC", "flac", "audio/ogg; codecs=flac", "audio/ogg", "flac", {}, true, ".flac"},
}};

inline constexpr const StreamFormat& mp3 = all[0];
inline constexpr const StreamFormat& vorbis = all[2];
inline constexpr const StreamFormat& opus = all[3];
inline constexpr const StreamFormat& flac = all[4];

// Shown in the bitrate list for a format without bitrates.
inline constexpr std::string_view losslessItem = "lossless";

// Position in the format list of exactly this content type (case matters), or -1.
constexpr int positionOf(std::string_view contentType) {
    for (std::size_t i = 0; i < all.size(); ++i)
        if (all[i].contentType == contentType) return static_cast<int>(i);
    return -1;
}

// The format whose key word this is, or nullptr.
constexpr const StreamFormat* byKey(std::string_view key) {
    if (key.empty()) return nullptr;
    for (const StreamFormat& format : all)
        if (format.key == key) return &format;
    return nullptr;
}

// The format whose encoder runs for a content type: MP3, Opus and FLAC by their exact content
// type, Ogg Vorbis for every other text (an empty one and "audio/aacp" included).
constexpr const StreamFormat& encodedAs(std::string_view contentType) {
    const int position = positionOf(contentType);
    if (position < 0 || all[static_cast<std::size_t>(position)].program.empty()) return vorbis;
    return all[static_cast<std::size_t>(position)];
}

// The content type the server is told for the record's text.
inline std::string serverType(std::string_view contentType) {
    const int position = positionOf(contentType);
    return std::string(position < 0 ? contentType : all[static_cast<std::size_t>(position)].serverType);
}

}  // namespace formats
