#include "encoder.h"

#include <cerrno>
#include <cstring>

#include "notify.h"
#include "threads.h"

namespace bassx {
namespace {

constexpr size_t kPendingMax = 1u << 20;
constexpr int kEndGraceMs = 2000;

void putLe(std::vector<uint8_t>& v, uint32_t x, int bytes) {
    for (int i = 0; i < bytes; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

// A WAVE header of unknown length, for encoders started without NOHEAD.
std::vector<uint8_t> waveHeader(DWORD rate, DWORD chans) {
    std::vector<uint8_t> h;
    auto tag = [&](const char* t) { h.insert(h.end(), t, t + 4); };
    tag("RIFF");
    putLe(h, 0xFFFFFFFFu, 4);
    tag("WAVE");
    tag("fmt ");
    putLe(h, 16, 4);
    putLe(h, 1, 2);
    putLe(h, chans, 2);
    putLe(h, rate, 4);
    putLe(h, rate * chans * 2, 4);
    putLe(h, chans * 2, 2);
    putLe(h, 16, 2);
    tag("data");
    putLe(h, 0xFFFFFFFFu, 4);
    return h;
}

}  // namespace

Encoder::Encoder(DWORD rate, DWORD chans, ENCODEPROC* proc, void* user)
    : Object(Kind::Encoder), rate_(rate), chans_(chans), proc_(proc), user_(user), inMax_(rate * chans * 2 * 2) {}

Encoder::~Encoder() { shutdown(); }

int Encoder::start(const std::string& cmdline, bool withHeader, DWORD channel) {
    channel_ = channel;
    auto args = splitCommandLine(cmdline);
    if (args.empty()) return BASS_ERROR_ILLPARAM;
    int err = process_.start(args, cmdline);
    if (err) return err;
    if (withHeader) {
        auto h = waveHeader(rate_, chans_);
        inQueue_.push_back(std::move(h));
    }
    writer_ = startThread([this] { writerLoop(); });
    reader_ = startThread([this] { readerLoop(); });
    return BASS_OK;
}

void Encoder::feed(const int16_t* samples, size_t bytes) {
    std::lock_guard<std::mutex> lock(inMutex_);
    if (ending_.load()) return;
    if (inQueued_ + bytes > inMax_) {
        inDropped_.fetch_add(bytes);
        return;
    }
    auto* p = reinterpret_cast<const uint8_t*>(samples);
    inQueue_.emplace_back(p, p + bytes);
    inQueued_ += bytes;
    inCv_.notify_one();
}

void Encoder::postOnce(DWORD status) {
    if (ending_.load()) return;
    std::atomic<bool>& flag = status == BASS_ENCODE_NOTIFY_ENCODER ? deathPosted_ : castPosted_;
    if (status == BASS_ENCODE_NOTIFY_CAST_TIMEOUT || !flag.exchange(true)) notify::post(handle.load(), status);
}

void Encoder::writerLoop() {
    for (;;) {
        std::vector<uint8_t> block;
        {
            std::unique_lock<std::mutex> lock(inMutex_);
            inCv_.wait(lock, [&] { return ending_.load() || !inQueue_.empty(); });
            if (ending_.load()) return;
            block = std::move(inQueue_.front());
            inQueue_.pop_front();
            inQueued_ -= std::min(inQueued_, block.size());
        }
        size_t off = 0;
        while (off < block.size()) {
            long n = process_.writeInput(block.data() + off, block.size() - off, 100);
            if (n > 0) {
                off += static_cast<size_t>(n);
                continue;
            }
            if (n == 0) {
                if (ending_.load()) return;
                continue;
            }
            // The program is gone; the reader reports it when its output ends.
            return;
        }
    }
}

void Encoder::readerLoop() {
    std::vector<uint8_t> buf(64 * 1024);
    for (;;) {
        long n = process_.readOutput(buf.data(), buf.size(), 100);
        if (n == -2) {
            if (readerStop_.load()) return;
            continue;
        }
        if (n <= 0) break;
        if (proc_) proc_(handle.load(), channel_, buf.data(), static_cast<DWORD>(n), user_);
        std::lock_guard<std::mutex> lock(castMutex_);
        if (link_)
            link_->push(buf.data(), static_cast<size_t>(n));
        else if (pending_.size() + static_cast<size_t>(n) <= kPendingMax)
            pending_.insert(pending_.end(), buf.data(), buf.data() + n);
    }
    // Output ended: the program has exited (or is about to).
    if (!ending_.load()) {
        process_.reap(kEndGraceMs);
        postOnce(BASS_ENCODE_NOTIFY_ENCODER);
    }
}

int Encoder::castInit(const std::string& server, const icy::CastParams& params) {
    {
        std::lock_guard<std::mutex> lock(castMutex_);
        if (link_) return BASS_ERROR_ALREADY;
    }
    std::string host;
    int port = 0;
    if (!net::splitAddress(server, host, port) || port >= 65535) return BASS_ERROR_ILLPARAM;
    auto deadline = net::after(icy::kHandshakeMs);
    int err = 0;
    int fd = net::connectTo(host, port + 1, deadline, err, &ending_);
    if (fd < 0) return err;
    err = icy::handshake(fd, params, deadline);
    if (err) {
        net::closeFd(fd);
        return err;
    }
    std::lock_guard<std::mutex> lock(castMutex_);
    if (ending_.load()) {
        net::closeFd(fd);
        return BASS_ERROR_HANDLE;
    }
    link_ = std::make_unique<icy::Link>(fd, [this](DWORD status) { postOnce(status); });
    if (!pending_.empty()) link_->push(pending_.data(), pending_.size());
    pending_.clear();
    pending_.shrink_to_fit();
    castHost_ = host;
    castPort_ = port;
    castPass_ = params.password;
    return BASS_OK;
}

int Encoder::castSetTitle(const std::string& song, const std::string& url) {
    std::lock_guard<std::mutex> lock(castMutex_);
    if (!link_) return BASS_ERROR_NOTAVAIL;
    if (!titles_) titles_ = std::make_unique<title::Sender>(castHost_, castPort_);
    titles_->post(title::buildRequest(castHost_, castPort_, castPass_, song, url));
    return BASS_OK;
}

bool Encoder::hasCast() const {
    std::lock_guard<std::mutex> lock(castMutex_);
    return link_ != nullptr;
}

title::Sender* Encoder::titleSender() {
    std::lock_guard<std::mutex> lock(castMutex_);
    return titles_.get();
}

void Encoder::shutdown() {
    std::call_once(shutdownOnce_, [this] {
        {
            std::lock_guard<std::mutex> lock(inMutex_);
            ending_.store(true);
            inQueue_.clear();
            inQueued_ = 0;
        }
        inCv_.notify_all();
        if (writer_.joinable()) writer_.join();
        // With its input closed the encoder flushes and exits; the reader drains the rest.
        process_.end(kEndGraceMs);
        readerStop_.store(true);
        if (reader_.joinable()) reader_.join();
        std::unique_ptr<icy::Link> link;
        std::unique_ptr<title::Sender> titles;
        {
            std::lock_guard<std::mutex> lock(castMutex_);
            link = std::move(link_);
            titles = std::move(titles_);
        }
        if (titles) titles->stop();
        if (link) link->stop();
    });
}

}  // namespace bassx
