#include "encoder.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>

#include "cast_protocol.h"
#include "chain.h"
#include "fault_point.h"
#include "notify.h"
#include "text_encoding.h"
#include "threads.h"

namespace bassx {
namespace {

constexpr size_t kPendingMax = 1u << 20;
// With its input closed a program has this long to finish before it is killed; with the
// threads' 100 ms slices it keeps every stop within a second.
constexpr int kEndGraceMs = 400;
// The writer notices an end within one of its write slices, and closes the program's input.
constexpr int kWriteSliceMs = 100;
// A pause in the feed this long starts the hung-encoder clock afresh (a paused mixer feeds
// nothing, and a program may hold a part of a frame until more comes).
constexpr int64_t kFeedGapNs = 1'000'000'000;
// Icecast rebuilds an Ogg Vorbis stream to put a URL title in it; a title that comes before
// the first audio packet after the headers wedges that rebuild for good (the mount goes
// silent), and one that comes with the headers is replaced by their own comment. So a title
// waits until the server was sent the headers and two seconds of audio.
constexpr uint64_t kOggHeadersAllowance = 16 * 1024;
uint64_t oggTitleGate(int kbps) { return kOggHeadersAllowance + 2 * static_cast<uint64_t>(kbps > 0 ? kbps : 128) * 1000 / 8; }

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

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

int Encoder::start(const std::string& cmdline, bool withHeader, DWORD channel, DWORD flags) {
    channel_ = channel;
    cmdline_ = cmdline;
    withHeader_ = withHeader;
    chain_ = chain::formatOf(flags);
    program_ = splitCommandLine(cmdline);
    if (program_.empty()) return BASS_ERROR_ILLPARAM;
    auto run = std::make_shared<Run>();
    int err = 0;
    if (chain_) {
        // Links of one chain must differ in their serial numbers; a program left to pick its
        // own may take the same one twice within a second (flac seeds with the time).
        serial_ = std::random_device{}();
        err = run->process.start(chain::linkArgs(chain_, program_, serial_++, {}));
    } else {
        err = run->process.start(program_, cmdline);
    }
    if (err) return err;
    writing_ = run;
    runs_.push_back(run);
    if (withHeader) inQueue_.push_back(Chunk{waveHeader(rate_, chans_), nullptr});
    // A thread that dies of an error (out of memory) is the encoder's death: the caller's
    // reconnect takes over.
    writer_ = startThread([this] { writerLoop(); }, [this] { postOnce(BASS_ENCODE_NOTIFY_ENCODER); });
    reader_ = startThread([this] { readerLoop(); }, [this] { postOnce(BASS_ENCODE_NOTIFY_ENCODER); });
    return BASS_OK;
}

void Encoder::releaseOutput() {
    outputReleased_.store(true);
    outputReleased_.notify_all();
}

void Encoder::noteFed() {
    int64_t now = nowNs();
    int64_t last = lastFed_.exchange(now);
    if (last == 0 || now - last > kFeedGapNs) {
        feedingSince_.store(now);
    } else {
        int64_t none = 0;
        feedingSince_.compare_exchange_strong(none, now);
    }
}

bool Encoder::hung() const {
    int64_t since = feedingSince_.load();
    if (since == 0) return false;
    int64_t now = nowNs();
    return now - lastFed_.load() <= kFeedGapNs && now - since >= int64_t{net::kLivenessMs} * 1'000'000;
}

void Encoder::feed(const int16_t* samples, size_t bytes) noexcept {
    std::lock_guard<std::mutex> lock(inMutex_);
    if (ending_.load() || draining_.load()) return;
    // Offered counts, taken or not: a program that stops reading is as hung as one that stops
    // writing.
    noteFed();
    if (inQueued_ + bytes > inMax_) {
        inDropped_.fetch_add(bytes);
        return;
    }
    try {
        auto* p = reinterpret_cast<const uint8_t*>(samples);
        inQueue_.push_back(Chunk{std::vector<uint8_t>(p, p + bytes), nullptr});
    } catch (...) {
        // Out of memory: this block is lost like one that does not fit; the clock goes on.
        inDropped_.fetch_add(bytes);
        return;
    }
    inQueued_ += bytes;
    inCv_.notify_one();
}

void Encoder::starved() noexcept { postOnce(BASS_ENCODE_NOTIFY_ENCODER); }

void Encoder::postOnce(DWORD status) {
    if (ending_.load()) return;
    std::atomic<bool>& flag = status == BASS_ENCODE_NOTIFY_CAST || status == BASS_ENCODE_NOTIFY_CAST_TIMEOUT
                                  ? castPosted_
                                  : deathPosted_;
    if (status == BASS_ENCODE_NOTIFY_CAST_TIMEOUT || !flag.exchange(true)) notify::post(handle.load(), status);
}

size_t Encoder::inputQueued() {
    std::lock_guard<std::mutex> lock(inMutex_);
    return inQueued_;
}

const Process& Encoder::process() const {
    std::lock_guard<std::mutex> lock(runsMutex_);
    return runs_.front()->process;
}

size_t Encoder::runs() {
    std::lock_guard<std::mutex> lock(runsMutex_);
    return runs_.size();
}

std::shared_ptr<Encoder::Run> Encoder::runBeingRead() {
    std::lock_guard<std::mutex> lock(runsMutex_);
    return runs_.empty() ? nullptr : runs_.front();
}

int Encoder::startLink(const std::string& title) {
    if (ending_.load()) return BASS_ERROR_HANDLE;
    auto run = std::make_shared<Run>();
    // Started here, not on the writer: the writer must never wait for a program to start, and
    // a program that cannot start leaves the running link on the air.
    uint32_t serial;
    {
        std::lock_guard<std::mutex> lock(inMutex_);
        serial = serial_++;
    }
    // The engine keeps titles as UTF-8; a command line is in the caller's encoding.
    int err = run->process.start(chain::linkArgs(chain_, program_, serial, text::toCaller(title)));
    if (err) return err;
    std::lock_guard<std::mutex> lock(inMutex_);
    if (ending_.load()) return BASS_ERROR_HANDLE;  // the run ends with its last reference
    {
        std::lock_guard<std::mutex> runsLock(runsMutex_);
        runs_.push_back(run);
    }
    inQueue_.push_back(Chunk{{}, std::move(run)});
    inCv_.notify_one();
    return BASS_OK;
}

void Encoder::writerLoop() {
    // Whatever ends the writer, the program's input ends with it: at our own end every
    // program gets it at once, however many are ended together.
    struct CloseInput {
        std::shared_ptr<Run>& writing;
        ~CloseInput() { writing->process.closeStdin(); }
    } closeInput{writing_};
    for (;;) {
        Chunk chunk;
        {
            std::unique_lock<std::mutex> lock(inMutex_);
            inCv_.wait(lock, [&] { return ending_.load() || !inQueue_.empty() || draining_.load(); });
            if (ending_.load()) return;
            if (inQueue_.empty()) {
                // Finishing: all it was fed is written; its end of input lets it flush.
                lock.unlock();
                writing_->process.closeStdin();
                return;
            }
            faults::check(faults::EncoderWriter);
            chunk = std::move(inQueue_.front());
            inQueue_.pop_front();
            inQueued_ -= std::min(inQueued_, chunk.samples.size());
        }
        if (chunk.next) {
            // Marked before the close: the reader must know the end it is about to see.
            writing_->inputClosed.store(true);
            writing_->process.closeStdin();
            writing_ = std::move(chunk.next);
            continue;
        }
        const std::vector<uint8_t>& block = chunk.samples;
        size_t off = 0;
        while (off < block.size()) {
            long n = writing_->process.writeInput(block.data() + off, block.size() - off, kWriteSliceMs);
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

namespace {
// The encoder whose output callback runs on this thread, if any.
thread_local const Encoder* inOutputCallback = nullptr;
}  // namespace

void Encoder::readerLoop() {
    const std::weak_ptr<Encoder> self = weak_from_this();
    std::vector<uint8_t> buf(64 * 1024);
    std::shared_ptr<Run> run = runBeingRead();
    for (;;) {
        faults::check(faults::EncoderReader);
        long n = run->process.readOutput(buf.data(), buf.size(), 100);
        if (n == -2) {
            if (readerStop_.load()) return;
            if (!ending_.load() && hung()) {
                run->process.kill();
                break;
            }
            continue;
        }
        if (n <= 0) {
            // A link we ended for a title: its stream is complete, the next one follows.
            if (!run->inputClosed.load() || ending_.load()) break;
            run->process.reap(kEndGraceMs);
            std::lock_guard<std::mutex> lock(runsMutex_);
            runs_.pop_front();
            run = runs_.front();  // pushed before the writer could close this one's input
            continue;
        }
        feedingSince_.store(0);
        if (proc_) {
            // The callback may stop the mixer and so end (and free) this encoder: then nothing
            // of it is touched once `keep` goes.
            auto keep = self.lock();
            outputReleased_.wait(false);
            if (ending_.load()) return;
            inOutputCallback = this;
            proc_(handle.load(), channel_, buf.data(), static_cast<DWORD>(n), user_);
            inOutputCallback = nullptr;
            if (ending_.load()) return;
        }
        if (file_) {
            if (file_->write(buf.data(), static_cast<size_t>(n))) continue;
            // Disk full or an I/O error: this recording is over, and says so.
            run->process.kill();
            run->process.reap(kEndGraceMs);
            postOnce(BASS_ENCODE_NOTIFY_FILE);
            break;
        }
        std::lock_guard<std::mutex> lock(castMutex_);
        if (link_)
            link_->push(buf.data(), static_cast<size_t>(n));
        else if (pending_.size() + static_cast<size_t>(n) <= kPendingMax)
            pending_.insert(pending_.end(), buf.data(), buf.data() + n);
    }
    // Output ended or the program was hung: it has exited (or is about to).
    if (!ending_.load() && !draining_.load()) {
        run->process.reap(kEndGraceMs);
        postOnce(BASS_ENCODE_NOTIFY_ENCODER);
    }
    {
        std::lock_guard<std::mutex> lock(inMutex_);
        readerDone_ = true;
    }
    inCv_.notify_all();
}

void Encoder::finish(int boundMs) {
    {
        std::unique_lock<std::mutex> lock(inMutex_);
        draining_.store(true);
        inCv_.notify_all();
        inCv_.wait_for(lock, std::chrono::milliseconds(boundMs), [&] { return readerDone_ || ending_.load(); });
    }
    shutdown();
}

int Encoder::castInit(const std::string& server, const icy::CastParams& params) {
    {
        std::lock_guard<std::mutex> lock(castMutex_);
        if (link_) return BASS_ERROR_ALREADY;
    }
    cast::Address address;
    int err = cast::parseAddress(server, address);
    if (err) return err;
    if (castCancelled_.load()) return BASS_ERROR_CAST_CANCEL;
    std::unique_ptr<net::Transport> conn;
    err = cast::protocolFor(address).open(address, cast::inServerCharset(params), {rate_, chans_},
                                          net::after(icy::kHandshakeMs), &castAbort_, conn);
    auto abandoned = [&] { return ending_.load() ? BASS_ERROR_HANDLE : BASS_ERROR_CAST_CANCEL; };
    if (err) return castAbort_.load() ? abandoned() : err;
    std::lock_guard<std::mutex> lock(castMutex_);
    if (castAbort_.load()) return abandoned();
    icy::QueueLimit limit;
    limit.kbps = params.bitrate;
    link_ = std::make_unique<icy::Link>(std::move(conn), [this](DWORD status) { postOnce(status); }, limit,
                                        std::move(pending_));
    pending_ = {};
    castAddress_ = address;
    castPass_ = params.password;
    castCharset_ = text::charsetFor(params.content);
    castTitleGate_ = {};
    if (params.content.find("ogg") != std::string::npos)
        castTitleGate_ = [sent = link_->sentCounter(), enough = oggTitleGate(params.bitrate)] {
            return sent->load() >= enough;
        };
    return BASS_OK;
}

void Encoder::cancelCast() {
    castCancelled_.store(true);
    castAbort_.store(true);
}

int Encoder::castSetTitle(const std::string& song, const std::string& url) {
    // A recording keeps one stream per file, chained format or not: its titles go in the log
    // beside it.
    if (file_) return BASS_ERROR_NOTAVAIL;
    // In a chained format the title travels in the stream, with or without a cast.
    if (chain_) return startLink(song);
    std::lock_guard<std::mutex> lock(castMutex_);
    if (!link_) return BASS_ERROR_NOTAVAIL;
    // A sender that dies ends the cast as a dead connection: the caller's reconnect makes a
    // new one, titles included.
    if (!titles_)
        titles_ = std::make_unique<title::Sender>(castAddress_.host, castAddress_.port, castAddress_.tls,
                                                  [this] { postOnce(BASS_ENCODE_NOTIFY_CAST); });
    const cast::Handler& protocol = cast::protocolFor(castAddress_);
    titles_->post(protocol.titleRequest(castAddress_, castPass_, protocol.titleText(song, castCharset_),
                                        protocol.titleText(url, castCharset_)),
                  castTitleGate_);
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

void Encoder::beginShutdown() {
    std::call_once(beginOnce_, [this] {
        {
            std::lock_guard<std::mutex> lock(inMutex_);
            ending_.store(true);
            castAbort_.store(true);
            inQueue_.clear();
            inQueued_ = 0;
        }
        inCv_.notify_all();
        releaseOutput();
        std::lock_guard<std::mutex> lock(castMutex_);
        if (titles_) titles_->cancel();
        if (link_) link_->cancel();
    });
}

void Encoder::closeInput() {
    beginShutdown();
    std::call_once(inputOnce_, [this] {
        if (writer_.joinable()) writer_.join();
        if (writing_) writing_->process.closeStdin();  // the writer has, unless it never ran
    });
}

void Encoder::shutdown() {
    closeInput();
    std::call_once(shutdownOnce_, [this] {
        std::vector<std::shared_ptr<Run>> runs;
        {
            std::lock_guard<std::mutex> lock(runsMutex_);
            runs.assign(runs_.begin(), runs_.end());
        }
        // Links after the one being read never reach the air now: no grace for them.
        for (size_t i = 1; i < runs.size(); ++i) runs[i]->process.end(0);
        // With its input closed the encoder flushes and exits; the reader drains the rest. The
        // grace time runs from the close, so the programs of encoders ended together have
        // theirs at the same time.
        if (!runs.empty()) {
            Process& reading = runs.front()->process;
            const int64_t left = (reading.inputClosedAt() - nowNs()) / 1'000'000 + kEndGraceMs;
            reading.end(static_cast<int>(std::clamp<int64_t>(left, 0, kEndGraceMs)));
        }
        readerStop_.store(true);
        if (inOutputCallback == this)
            reader_.detach();  // we are the reader: it returns as soon as the callback does
        else if (reader_.joinable()) {
            reader_.join();
            if (file_) file_->close();  // complete: the reader wrote the program's last output
        }
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
