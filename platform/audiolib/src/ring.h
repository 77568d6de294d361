// Single-producer single-consumer byte ring: wait-free on both sides, no allocation after
// construction. The producer is the host's playback thread (or the capture callback), the
// consumer the mixer.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace bassx {

class SpscRing {
public:
    explicit SpscRing(size_t capacity) : cap_(capacity), buf_(new uint8_t[capacity]) {}
    SpscRing(const SpscRing&) = delete;
    SpscRing& operator=(const SpscRing&) = delete;

    size_t capacity() const { return cap_; }

    // Bytes waiting to be read (consumer view; a lower bound for the producer).
    size_t available() const {
        return static_cast<size_t>(head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_acquire));
    }

    // Writes up to len bytes rounded down to `unit`; whatever does not fit is dropped and
    // counted. Returns the bytes written.
    size_t write(const void* data, size_t len, size_t unit = 1) {
        uint64_t head = head_.load(std::memory_order_relaxed);
        uint64_t tail = tail_.load(std::memory_order_acquire);
        size_t space = cap_ - static_cast<size_t>(head - tail);
        size_t n = std::min(len, space);
        n -= n % unit;
        if (n < len) dropped_.fetch_add(len - n, std::memory_order_relaxed);
        if (n == 0) return 0;
        size_t at = static_cast<size_t>(head % cap_);
        size_t first = std::min(n, cap_ - at);
        std::memcpy(buf_.get() + at, data, first);
        std::memcpy(buf_.get(), static_cast<const uint8_t*>(data) + first, n - first);
        head_.store(head + n, std::memory_order_release);
        return n;
    }

    // Reads up to len bytes; returns the bytes read.
    size_t read(void* out, size_t len) {
        uint64_t tail = tail_.load(std::memory_order_relaxed);
        uint64_t head = head_.load(std::memory_order_acquire);
        size_t n = std::min(len, static_cast<size_t>(head - tail));
        if (n == 0) return 0;
        size_t at = static_cast<size_t>(tail % cap_);
        size_t first = std::min(n, cap_ - at);
        std::memcpy(out, buf_.get() + at, first);
        std::memcpy(static_cast<uint8_t*>(out) + first, buf_.get(), n - first);
        tail_.store(tail + n, std::memory_order_release);
        return n;
    }

    // Consumer side: throws away the oldest len bytes (at most what is queued).
    void skip(size_t len) {
        uint64_t tail = tail_.load(std::memory_order_relaxed);
        uint64_t head = head_.load(std::memory_order_acquire);
        tail_.store(tail + std::min<uint64_t>(len, head - tail), std::memory_order_release);
    }

    // Consumer side: throws away everything queued.
    void clear() { tail_.store(head_.load(std::memory_order_acquire), std::memory_order_release); }

    uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

private:
    const size_t cap_;
    std::unique_ptr<uint8_t[]> buf_;
    alignas(64) std::atomic<uint64_t> head_{0};
    alignas(64) std::atomic<uint64_t> tail_{0};
    alignas(64) std::atomic<uint64_t> dropped_{0};
};

}  // namespace bassx
