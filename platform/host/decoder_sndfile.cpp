#include <sndfile.h>

#include "decoder.h"

namespace host {

const char* const kPathSeparators = "/";

namespace {

std::string tag(SNDFILE* f, int which) {
    const char* s = sf_get_string(f, which);
    if (!s) return {};
    std::string t(s);
    // Trim the padding some tag writers leave.
    while (!t.empty() && (t.back() == ' ' || t.back() == '\0')) t.pop_back();
    return t;
}

class SndfileDecoder final : public Decoder {
public:
    SndfileDecoder(SNDFILE* f, const SF_INFO& info) : file_(f), info_(info) {}
    ~SndfileDecoder() override { sf_close(file_); }
    int rate() const override { return info_.samplerate; }
    int channels() const override { return info_.channels; }
    std::size_t read(float* out, std::size_t frames) override {
        sf_count_t n = sf_readf_float(file_, out, static_cast<sf_count_t>(frames));
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }

private:
    SNDFILE* file_;
    SF_INFO info_;
};

}  // namespace

std::unique_ptr<Decoder> openDecoder(const std::string& path, FileTags* tags, std::string& error) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) {
        error = sf_strerror(nullptr);
        return nullptr;
    }
    // The host's formats: WAV, FLAC, Ogg Vorbis and MP3, though libsndfile reads more.
    const int major = info.format & SF_FORMAT_TYPEMASK, sub = info.format & SF_FORMAT_SUBMASK;
    const bool known = major == SF_FORMAT_WAV || major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64 ||
                       major == SF_FORMAT_FLAC || major == SF_FORMAT_MPEG ||
                       (major == SF_FORMAT_OGG && sub == SF_FORMAT_VORBIS);
    if (!known) {
        error = "not a WAV, FLAC, Ogg Vorbis or MP3 file";
        sf_close(f);
        return nullptr;
    }
    if (tags) *tags = {tag(f, SF_STR_ARTIST), tag(f, SF_STR_TITLE)};
    return std::make_unique<SndfileDecoder>(f, info);
}

}  // namespace host
