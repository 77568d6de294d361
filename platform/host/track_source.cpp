#include "track_source.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "decoder.h"

namespace host {

namespace {

std::int16_t toS16(float x) {
    x = std::clamp(x, -1.0f, 1.0f);
    return static_cast<std::int16_t>(std::lrintf(x * 32767.0f));
}

std::string baseName(const std::string& path) {
    auto slash = path.find_last_of(kPathSeparators);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    auto dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.resize(dot);
    return name;
}

class ToneReader final : public TrackReader {
public:
    ToneReader(double hz, double seconds)
        : hz_(hz), total_(static_cast<std::int64_t>(seconds * kRate)) {}

    std::size_t read(std::int16_t* out, std::size_t frames) override {
        std::size_t n = static_cast<std::size_t>(std::min<std::int64_t>(frames, total_ - done_));
        const std::int64_t fade = kRate / 100;  // 10 ms ramps: no clicks at the edges
        for (std::size_t i = 0; i < n; ++i) {
            std::int64_t t = done_ + static_cast<std::int64_t>(i);
            double gain = 0.5;
            if (t < fade) gain *= double(t) / fade;
            if (total_ - t < fade) gain *= double(total_ - t) / fade;
            float v = static_cast<float>(gain * std::sin(2 * std::numbers::pi * hz_ * double(t) / kRate));
            out[2 * i] = out[2 * i + 1] = toS16(v);
        }
        done_ += static_cast<std::int64_t>(n);
        return n;
    }

private:
    double hz_;
    std::int64_t total_;
    std::int64_t done_ = 0;
};

class FileReader final : public TrackReader {
public:
    explicit FileReader(std::unique_ptr<Decoder> d)
        : decoder_(std::move(d)), channels_(decoder_->channels()), resampler_(decoder_->rate(), kRate) {
        in_.resize(kChunk * static_cast<std::size_t>(channels_));
        stereo_.resize(kChunk * 2);
    }

    std::size_t read(std::int16_t* out, std::size_t frames) override {
        std::size_t done = 0;
        while (done < frames) {
            std::size_t want = std::min(frames - done, kChunk);
            std::size_t got = resampler_.pull(stereo_.data(), want, eof_);
            for (std::size_t i = 0; i < got * 2; ++i) out[done * 2 + i] = toS16(stereo_[i]);
            done += got;
            if (got == want) continue;
            if (eof_) break;
            refill();
        }
        return done;
    }

private:
    static constexpr std::size_t kChunk = 4096;

    void refill() {
        std::size_t n = decoder_->read(in_.data(), kChunk);
        if (n == 0) {
            eof_ = true;
            return;
        }
        // Mono is duplicated; of more channels the first two are the front pair.
        for (std::size_t i = 0; i < n; ++i) {
            const float* fr = &in_[i * static_cast<std::size_t>(channels_)];
            stereo_[2 * i] = fr[0];
            stereo_[2 * i + 1] = channels_ > 1 ? fr[1] : fr[0];
        }
        resampler_.push(stereo_.data(), n);
    }

    std::unique_ptr<Decoder> decoder_;
    int channels_;
    Resampler resampler_;
    std::vector<float> in_, stereo_;
    bool eof_ = false;
};

std::unique_ptr<Decoder> openFile(const std::string& path, FileTags* tags, std::string& error) {
    auto d = openDecoder(path, tags, error);
    if (d && (d->channels() < 1 || d->rate() < 1000 || d->rate() > 768000)) {
        error = "unsupported channel count or sample rate";
        return nullptr;
    }
    // Float files may hold peaks above 1.0; they are clipped on conversion.
    return d;
}

}  // namespace

namespace {
constexpr int kTableSteps = 512;
constexpr int kZeroCrossings = 64;
}  // namespace

Resampler::Resampler(int inRate, int outRate)
    : inRate_(inRate), outRate_(outRate) {
    if (passthrough()) return;
    // Cut-off relative to the input's Nyquist frequency; lowered when decimating.
    const double cutoff = 0.95 * std::min(1.0, double(outRate) / double(inRate));
    half_ = static_cast<int>(std::ceil(kZeroCrossings / cutoff));
    table_.resize(static_cast<std::size_t>(half_ * kTableSteps + 2));
    for (std::size_t i = 0; i < table_.size(); ++i) {
        double x = double(i) / kTableSteps;
        double w = x >= half_ ? 0.0 : 0.42 + 0.5 * std::cos(std::numbers::pi * x / half_) +
                                          0.08 * std::cos(2 * std::numbers::pi * x / half_);
        double arg = std::numbers::pi * cutoff * x;
        double sinc = x == 0 ? 1.0 : std::sin(arg) / arg;
        table_[i] = static_cast<float>(cutoff * sinc * w);
    }
    // Silence before the first frame, so the first output frame sits on it.
    base_ = -half_;
    buf_.assign(static_cast<std::size_t>(half_) * 2, 0.0f);
}

float Resampler::kernel(double x) const {
    double at = std::abs(x) * kTableSteps;
    auto i = static_cast<std::size_t>(at);
    if (i + 1 >= table_.size()) return 0.0f;
    float f = static_cast<float>(at - double(i));
    return table_[i] + (table_[i + 1] - table_[i]) * f;
}

void Resampler::push(const float* frames, std::size_t count) {
    buf_.insert(buf_.end(), frames, frames + count * 2);
    pushed_ += static_cast<long long>(count);
}

std::size_t Resampler::pull(float* out, std::size_t maxFrames, bool ending) {
    std::size_t n = 0;
    if (passthrough()) {
        n = std::min(maxFrames, buf_.size() / 2);
        std::copy_n(buf_.begin(), n * 2, out);
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(n * 2));
        return n;
    }
    if (ending && !padded_) {
        buf_.insert(buf_.end(), static_cast<std::size_t>(half_ + 1) * 2, 0.0f);
        padded_ = true;
    }
    const long long have = static_cast<long long>(buf_.size() / 2);
    auto timeOf = [this](long long k) { return double(k * inRate_) / double(outRate_); };
    while (n < maxFrames) {
        const double pos = timeOf(produced_);
        if (ending && pos >= double(pushed_)) break;
        const auto centre = static_cast<long long>(std::floor(pos));
        const long long first = centre - half_ + 1, last = centre + half_;
        if (last - base_ >= have) break;  // needs input not yet pushed
        double l = 0, r = 0, sum = 0;
        for (long long j = first; j <= last; ++j) {
            double k = kernel(pos - double(j));
            const float* fr = &buf_[static_cast<std::size_t>(j - base_) * 2];
            l += k * fr[0];
            r += k * fr[1];
            sum += k;
        }
        // Normalised by the weights' sum: a constant stays exactly constant.
        out[2 * n] = static_cast<float>(l / sum);
        out[2 * n + 1] = static_cast<float>(r / sum);
        ++n;
        ++produced_;
    }
    // Drop the input frames no later output frame reaches.
    long long keepFrom = static_cast<long long>(std::floor(timeOf(produced_))) - half_ + 1;
    long long drop = std::clamp(keepFrom - base_, 0LL, have);
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(drop * 2));
    base_ += drop;
    return n;
}

bool probeFile(const std::string& path, Track& track, std::string& error) {
    FileTags tags;
    if (!openFile(path, &tags, error)) return false;
    const std::string& artist = tags.artist;
    const std::string& title = tags.title;
    track = {};
    track.path = path;
    if (!title.empty())
        track.display = artist.empty() ? title : artist + " - " + title;
    else
        track.display = baseName(path);
    return true;
}

std::unique_ptr<TrackReader> openTrack(const Track& track, std::string& error) {
    if (track.path.empty()) return std::make_unique<ToneReader>(track.toneHz, track.toneSeconds);
    auto d = openFile(track.path, nullptr, error);
    if (!d) return nullptr;
    return std::make_unique<FileReader>(std::move(d));
}

std::vector<Track> testProgramme() {
    std::vector<Track> list;
    for (double hz : {440.0, 660.0, 880.0}) {
        Track t;
        t.display = "Larkspur Test - Tone " + std::to_string(static_cast<int>(hz)) + " Hz";
        t.toneHz = hz;
        t.toneSeconds = 6;
        list.push_back(t);
    }
    return list;
}

std::string hostTitle(int position, const Track& track) {
    return std::to_string(position) + ". " + track.display + " - Winamp";
}

}  // namespace host
