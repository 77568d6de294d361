// A file's audio as the decoder of the platform reads it: float frames at the file's own rate
// and channel count, and its artist and title tags. libsndfile on Linux; on Windows a WAV
// reader of our own (libsndfile and its codecs are not built for that target).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace host {

class Decoder {
public:
    virtual ~Decoder() = default;
    virtual int rate() const = 0;
    virtual int channels() const = 0;
    // Interleaved frames in [-1, 1] (float files may exceed it); 0 at the end.
    virtual std::size_t read(float* out, std::size_t frames) = 0;
};

struct FileTags {
    std::string artist, title;
};

// Null (and `error` set) when the file cannot be read or is not a format the player plays;
// `tags`, when given, receives the file's tags.
std::unique_ptr<Decoder> openDecoder(const std::string& path, FileTags* tags, std::string& error);

// What separates folders in a path here ("/", or "\\/" on Windows).
extern const char* const kPathSeparators;

}  // namespace host
