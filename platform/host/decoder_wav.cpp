// RIFF WAVE: integer PCM of 8 to 32 bits, IEEE float of 32 or 64 bits, plain or
// WAVE_FORMAT_EXTENSIBLE; artist and title from the LIST INFO chunk (IART, INAM).
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

#include "decoder.h"

namespace host {

#ifdef _WIN32
const char* const kPathSeparators = "\\/";
#else
const char* const kPathSeparators = "/";
#endif

namespace {

constexpr std::uint16_t kPcm = 1, kFloat = 3, kExtensible = 0xFFFE;

std::uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | std::uint32_t(p[3]) << 24; }
std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

std::string infoText(const std::vector<unsigned char>& data, std::size_t at, std::size_t size) {
    std::string t(reinterpret_cast<const char*>(data.data() + at), size);
    t.resize(std::strlen(t.c_str()));
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
}

void readInfo(const std::vector<unsigned char>& list, FileTags& tags) {
    if (list.size() < 4 || std::memcmp(list.data(), "INFO", 4) != 0) return;
    for (std::size_t at = 4; at + 8 <= list.size();) {
        const std::size_t size = le32(&list[at + 4]);
        if (size > list.size() - at - 8) break;
        if (std::memcmp(&list[at], "IART", 4) == 0) tags.artist = infoText(list, at + 8, size);
        if (std::memcmp(&list[at], "INAM", 4) == 0) tags.title = infoText(list, at + 8, size);
        at += 8 + size + (size & 1);
    }
}

class WavDecoder final : public Decoder {
public:
    WavDecoder(std::ifstream in, int rate, int channels, int bits, bool isFloat, std::uint64_t frames)
        : in_(std::move(in)), rate_(rate), channels_(channels), bytes_(bits / 8), float_(isFloat), left_(frames) {}
    int rate() const override { return rate_; }
    int channels() const override { return channels_; }

    std::size_t read(float* out, std::size_t frames) override {
        if (frames > left_) frames = static_cast<std::size_t>(left_);
        const std::size_t frameBytes = static_cast<std::size_t>(bytes_) * static_cast<std::size_t>(channels_);
        raw_.resize(frames * frameBytes);
        in_.read(reinterpret_cast<char*>(raw_.data()), static_cast<std::streamsize>(raw_.size()));
        // A file cut short plays what it holds.
        const std::size_t got = static_cast<std::size_t>(in_.gcount()) / frameBytes;
        left_ = got < frames ? 0 : left_ - got;
        const std::size_t samples = got * static_cast<std::size_t>(channels_);
        const unsigned char* p = raw_.data();
        for (std::size_t i = 0; i < samples; ++i, p += bytes_) out[i] = sample(p);
        return got;
    }

private:
    float sample(const unsigned char* p) const {
        if (float_) {
            if (bytes_ == 4) {
                std::uint32_t u = le32(p);
                float f;
                std::memcpy(&f, &u, 4);
                return f;
            }
            std::uint64_t u = le32(p) | std::uint64_t(le32(p + 4)) << 32;
            double d;
            std::memcpy(&d, &u, 8);
            return static_cast<float>(d);
        }
        switch (bytes_) {
        case 1: return (float(p[0]) - 128.0f) / 128.0f;  // 8-bit WAV is unsigned
        case 2: return float(static_cast<std::int16_t>(le16(p))) / 32768.0f;
        case 3: return float(static_cast<std::int32_t>(std::uint32_t(p[0]) << 8 | std::uint32_t(p[1]) << 16 |
                                                       std::uint32_t(p[2]) << 24)) / 2147483648.0f;
        default: return float(static_cast<std::int32_t>(le32(p))) / 2147483648.0f;
        }
    }

    std::ifstream in_;
    int rate_, channels_, bytes_;
    bool float_;
    std::uint64_t left_;
    std::vector<unsigned char> raw_;
};

}  // namespace

std::unique_ptr<Decoder> openDecoder(const std::string& path, FileTags* tags, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open the file";
        return nullptr;
    }
    in.seekg(0, std::ios::end);
    const std::uint64_t fileSize = static_cast<std::uint64_t>(in.tellg());
    in.seekg(0);
    unsigned char head[12];
    if (!in.read(reinterpret_cast<char*>(head), 12) || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0) {
        error = "not a WAV file (this player reads WAV only)";
        return nullptr;
    }
    std::uint16_t format = 0, channels = 0, bits = 0;
    std::uint32_t rate = 0;
    std::uint64_t dataAt = 0, dataSize = 0;
    bool haveFmt = false, haveData = false;
    FileTags found;
    // Chunks in any order; the tags may follow the audio.
    for (std::uint64_t at = 12; at + 8 <= fileSize;) {
        unsigned char ch[8];
        in.seekg(static_cast<std::streamoff>(at));
        if (!in.read(reinterpret_cast<char*>(ch), 8)) break;
        std::uint64_t size = le32(ch + 4);
        const std::uint64_t body = at + 8;
        // A writer that never finished leaves 0 or 0xFFFFFFFF: the audio runs to the end.
        if (size > fileSize - body) size = fileSize - body;
        if (std::memcmp(ch, "fmt ", 4) == 0 && size >= 16) {
            std::vector<unsigned char> f(static_cast<std::size_t>(std::min<std::uint64_t>(size, 64)));
            in.read(reinterpret_cast<char*>(f.data()), static_cast<std::streamsize>(f.size()));
            format = le16(&f[0]);
            channels = le16(&f[2]);
            rate = le32(&f[4]);
            bits = le16(&f[14]);
            if (format == kExtensible && f.size() >= 26) format = le16(&f[24]);  // the sub-format GUID's tag
            haveFmt = true;
        } else if (std::memcmp(ch, "data", 4) == 0 && !haveData) {
            dataAt = body;
            dataSize = size;
            haveData = true;
        } else if (std::memcmp(ch, "LIST", 4) == 0 && size <= (1u << 20)) {
            std::vector<unsigned char> list(static_cast<std::size_t>(size));
            in.read(reinterpret_cast<char*>(list.data()), static_cast<std::streamsize>(list.size()));
            readInfo(list, found);
        }
        at = body + size + (size & 1);
    }
    in.clear();
    if (!haveFmt || !haveData) {
        error = "a WAV file without its format or its audio";
        return nullptr;
    }
    const bool pcm = format == kPcm && (bits == 8 || bits == 16 || bits == 24 || bits == 32);
    const bool flt = format == kFloat && (bits == 32 || bits == 64);
    if (!pcm && !flt) {
        error = "a WAV encoding this player does not read (only integer PCM and float)";
        return nullptr;
    }
    if (channels < 1) {
        error = "unsupported channel count or sample rate";
        return nullptr;
    }
    in.seekg(static_cast<std::streamoff>(dataAt));
    if (tags) *tags = found;
    const std::uint64_t frames = dataSize / (std::uint64_t(bits / 8) * channels);
    return std::make_unique<WavDecoder>(std::move(in), static_cast<int>(rate), channels, bits, flt, frames);
}

}  // namespace host
