#include "audio_out.h"

#include <algorithm>
#include <chrono>

namespace host {

AudioOut::AudioOut() : capacity_(44100) { ring_.resize(capacity_ * 2); }

AudioOut::~AudioOut() {
    if (thread_.joinable()) thread_.join();
}

void AudioOut::start() { thread_ = std::thread([this] { run(); }); }

void AudioOut::push(const std::int16_t* frames, std::size_t count) {
    std::size_t head = head_.load(std::memory_order_relaxed);
    std::size_t tail = tail_.load(std::memory_order_acquire);
    std::size_t room = capacity_ - (head - tail);
    if (count > room) count = room;
    for (std::size_t i = 0; i < count; ++i) {
        std::size_t at = (head + i) % capacity_;
        ring_[2 * at] = frames[2 * i];
        ring_[2 * at + 1] = frames[2 * i + 1];
    }
    head_.store(head + count, std::memory_order_release);
}

void AudioOut::run() {
    std::unique_ptr<SoundDevice> device = openSoundDevice();
    if (!device) {
        finished_ = true;
        return;
    }
    std::vector<std::int16_t> chunk(2 * 1024);
    while (!stop_.load()) {
        std::size_t tail = tail_.load(std::memory_order_relaxed);
        std::size_t head = head_.load(std::memory_order_acquire);
        std::size_t n = std::min<std::size_t>(head - tail, 1024);
        if (n == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        for (std::size_t i = 0; i < n; ++i) {
            std::size_t at = (tail + i) % capacity_;
            chunk[2 * i] = ring_[2 * at];
            chunk[2 * i + 1] = ring_[2 * at + 1];
        }
        tail_.store(tail + n, std::memory_order_release);
        if (!device->write(chunk.data(), n)) break;
    }
    device.reset();
    finished_ = true;
}

bool AudioOut::stop() {
    if (!thread_.joinable()) return true;
    stop_ = true;
    // A sound server that hangs must not hang the player's exit.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (!finished_.load() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!finished_.load()) {
        thread_.detach();
        return false;
    }
    thread_.join();
    return true;
}

}  // namespace host
