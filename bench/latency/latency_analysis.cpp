#include "latency_analysis.h"

#include <algorithm>
#include <cstring>

namespace latency {

std::vector<std::int64_t> PcmOnsets::push(const char* bytes, std::size_t n) {
    std::vector<std::int64_t> found;
    partial_.append(bytes, n);
    std::size_t whole = partial_.size() / 4 * 4;
    for (std::size_t i = 0; i < whole; i += 4, ++frame_) {
        std::int16_t left;
        std::memcpy(&left, partial_.data() + i, 2);
        if (detector_.push(left)) found.push_back(frame_);
    }
    partial_.erase(0, whole);
    return found;
}

std::vector<std::int64_t> mp3FrameEnds(const std::string& data, int& samplesPerFrame) {
    static const int br1[16] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0};
    static const int br2[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
    static const int sr1[3] = {44100, 48000, 32000};
    std::vector<std::int64_t> ends;
    samplesPerFrame = 1152;
    std::size_t pos = 0;
    bool first = true;
    while (pos + 4 <= data.size()) {
        auto b = [&](std::size_t i) { return std::uint8_t(data[pos + i]); };
        int version = (b(1) >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
        int layer = (b(1) >> 1) & 3;    // 1 = layer III
        int bri = b(2) >> 4, sri = (b(2) >> 2) & 3, pad = (b(2) >> 1) & 1;
        if (b(0) != 0xff || (b(1) & 0xe0) != 0xe0 || version == 1 || layer != 1 || bri == 0 || bri == 15 ||
            sri == 3) {
            ++pos;  // resynchronise
            continue;
        }
        bool mpeg1 = version == 3;
        int rate = sr1[sri] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
        int kbps = mpeg1 ? br1[bri] : br2[bri];
        std::size_t len = std::size_t((mpeg1 ? 144000 : 72000) * kbps / rate + pad);
        if (pos + len > data.size()) break;
        if (first) {
            first = false;
            samplesPerFrame = mpeg1 ? 1152 : 576;
            std::string head = data.substr(pos, std::min<std::size_t>(len, 64));
            if (head.find("Xing") != std::string::npos || head.find("Info") != std::string::npos) {
                pos += len;
                continue;
            }
        }
        pos += len;
        ends.push_back(std::int64_t(pos));
    }
    return ends;
}

std::int64_t audioStart(const std::string& sent) {
    std::size_t h = sent.find("\r\n\r\n");
    return h == std::string::npos ? -1 : std::int64_t(h + 4);
}

namespace {

// The first moment the byte count reached `need`; null if it never did.
const Event* reached(const std::vector<Event>& counts, std::int64_t need) {
    auto it = std::find_if(counts.begin(), counts.end(), [&](const Event& e) { return e.value >= need; });
    return it == counts.end() ? nullptr : &*it;
}

double ms(std::int64_t ns) { return double(ns) / 1e6; }

}  // namespace

Latencies follow(const Timeline& t) {
    Latencies out;
    const std::int64_t period = std::int64_t(kMarkPeriodFrames) * 1000000000 / kRate;
    for (const Event& e : t.encIn) {
        std::int64_t j = (e.value + kCodecDelayFrames) / t.samplesPerFrame;
        if (j >= std::int64_t(t.frameEnds.size())) continue;  // the encoder ended first
        std::int64_t need = t.frameEnds[std::size_t(j)];
        const Event* left = reached(t.encOut, need);
        if (!left) continue;
        const Event* sent = nullptr;
        if (t.sentAudioStart >= 0) {
            sent = reached(t.sent, t.sentAudioStart + need);
            if (!sent) continue;
        }
        const Event* entered = nullptr;
        if (!t.dsp.empty()) {
            for (const Event& d : t.dsp)
                if (d.ns <= e.ns) entered = &d;
            if (!entered || e.ns - entered->ns >= period) continue;
        }
        out.encoder.push_back(ms(left->ns - e.ns));
        if (sent) out.sending.push_back(ms(sent->ns - left->ns));
        if (entered) {
            out.queueing.push_back(ms(e.ns - entered->ns));
            out.total.push_back(ms((sent ? sent : left)->ns - entered->ns));
            out.totalAt.push_back(entered->ns);
        }
    }
    return out;
}

std::vector<std::int64_t> gridSlips(const std::vector<Event>& encIn) {
    std::vector<std::int64_t> out;
    for (std::size_t i = 1; i < encIn.size(); ++i) {
        std::int64_t step = encIn[i].value - encIn[i - 1].value;
        // A missed marker spans several periods; count whole periods off.
        std::int64_t periods = std::max<std::int64_t>(1, (step + kMarkPeriodFrames / 2) / kMarkPeriodFrames);
        out.push_back(step - periods * kMarkPeriodFrames);
    }
    return out;
}

Summary summarise(std::vector<double> v) {
    Summary s;
    s.n = v.size();
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    // Nearest rank: the smallest value with at least q of the values at or below it.
    auto rank = [&](double q) {
        std::size_t k = std::size_t(q * double(v.size()) + 0.999999);
        return v[std::clamp<std::size_t>(k, 1, v.size()) - 1];
    };
    s.median = rank(0.5);
    s.p95 = rank(0.95);
    s.max = v.back();
    return s;
}

}  // namespace latency
