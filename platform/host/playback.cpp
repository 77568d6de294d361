#include "playback.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "audio_out.h"
#include "platform.h"

namespace host {

using Clock = std::chrono::steady_clock;

Playback::Playback(std::vector<Track> tracks, bool loop, DspModule* module, AudioOut* out, double driftPpm)
    : tracks_(std::move(tracks)), loop_(loop), module_(module), out_(out), driftPpm_(driftPpm) {}

Playback::~Playback() { stop(); }

void Playback::start() { thread_ = std::thread([this] { run(); }); }

void Playback::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

bool Playback::fill(std::int16_t* block) {
    std::size_t done = 0;
    while (done == 0) {
        if (!reader_) {
            if (next_ >= tracks_.size()) {
                if (!loop_ || tracks_.empty()) return false;
                next_ = 0;
            }
            std::size_t tries = 0;
            // A file that became unreadable since the start is skipped; give up after one
            // full round of failures.
            while (!reader_ && tries++ < tracks_.size()) {
                std::string error;
                reader_ = openTrack(tracks_[next_], error);
                if (!reader_) {
                    std::fprintf(stderr, "player: skipping %s: %s\n", tracks_[next_].path.c_str(), error.c_str());
                    if (++next_ >= tracks_.size()) {
                        if (!loop_) return false;
                        next_ = 0;
                    }
                }
            }
            if (!reader_) return false;
            trackFrames_ = 0;
            current_ = static_cast<int>(next_);
            ++next_;
        }
        done = reader_->read(block, kBlockFrames);
        if (done == 0) reader_.reset();
    }
    // The end of a track: the rest of its last block is silence.
    std::fill(block + done * kChannels, block + kBlockFrames * kChannels, std::int16_t{0});
    trackFrames_ += static_cast<std::int64_t>(done);
    return true;
}

void Playback::run() {
    // Twice a block: a module may return more samples than it was given.
    std::vector<std::int16_t> block(2 * kBlockFrames * kChannels);
    // Block k is due at k blocks of the card's clock, which runs driftPpm fast.
    const long double pace = 1.0L / (1.0L + static_cast<long double>(driftPpm_) * 1e-6L);
    const auto period = [pace](std::uint64_t k) {
        return std::chrono::nanoseconds(static_cast<std::int64_t>(
            static_cast<long double>(k) * kBlockFrames * 1000000000.0L / kRate * pace));
    };
    auto start = Clock::now();
    std::uint64_t k = 0;
    while (!stop_.load()) {
        auto due = start + period(k);
        auto now = Clock::now();
        if (now < due) {
            sleepUntil(due);
        } else if (now - due > std::chrono::milliseconds(500)) {
            // A long stall (suspended machine): start a new schedule rather than burst.
            start = now - period(k);
        }
        if (stop_.load()) break;
        if (!fill(block.data())) {
            ended_ = true;
            break;
        }
        int played = module_->ModifySamples(module_, block.data(), kBlockFrames, 16, kChannels, kRate);
        if (out_) out_->push(block.data(), static_cast<std::size_t>(std::clamp(played, 0, 2 * kBlockFrames)));
        ++k;
    }
}

}  // namespace host
