// An encoder: an external program fed the mixer's raw samples on its stdin by a writer thread
// of its own (bounded queue: a slow encoder never holds up the mixer), its stdout read by
// another thread and handed to the cast. It ends with its mixer, within a second whatever the
// program, the server or a name lookup are doing. A program that is fed and writes nothing for
// the liveness time is hung: it is killed and reported as dead.
//
// A chained format (BASS_ENCODE_CHAIN_*) runs the program once per title: the samples before
// the title go to the running program, whose input is then closed so it ends its stream; the
// samples after it go to the next one, started with the title's tags, whose output follows
// the previous program's last byte on the same cast (or in the same file). Lock order: inMutex_
// before runsMutex_; castMutex_ is never held with either.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cast_address.h"
#include "file_output.h"
#include "icy.h"
#include "mixer.h"
#include "process.h"
#include "text_encoding.h"
#include "title.h"

namespace bassx {

// Made with make_shared: its reader thread keeps it alive while a callback of the caller's
// runs, so that the callback may end it.
class Encoder : public Object, public MixSink, public std::enable_shared_from_this<Encoder> {
public:
    Encoder(DWORD rate, DWORD chans, ENCODEPROC* proc, void* user);
    ~Encoder() override;

    // BASS error code, 0 once the program runs. `flags` are BASS_Encode_Start's.
    int start(const std::string& cmdline, bool withHeader, DWORD channel, DWORD flags = 0);
    // Output reaches the caller's callback only once its start call has handed out the handle:
    // a callback that stops the mixer must find the encoder already attached to it.
    void releaseOutput();
    void feed(const int16_t* samples, size_t bytes) noexcept override;

    // A recording: the program's output goes into this file instead of a server. Before start.
    void setFile(std::unique_ptr<FileOutput> file) { file_ = std::move(file); }
    bool writesFile() const { return file_ != nullptr; }
    const std::string& commandLine() const { return cmdline_; }
    bool withHeader() const { return withHeader_; }
    DWORD chainFormat() const { return chain_; }
    DWORD channel() const { return channel_; }
    // Out of its mixer already: writes what it was fed, lets the program flush it into the file
    // and closes it, waiting at most boundMs before it ends as shutdown() does. No notice.
    void finish(int boundMs);

    // Handshake on the calling thread; BASS error code, 0 once the server took the source.
    // Texts (and titles below) are UTF-8; the server gets them in the bytes it reads.
    int castInit(const std::string& server, const icy::CastParams& params);
    // Ends a handshake under way on another thread within a fraction of a second and refuses
    // every later one (BASS_ERROR_CAST_CANCEL); a cast already made goes on. Returns at once.
    void cancelCast();
    int castSetTitle(const std::string& title, const std::string& url);

    // Our own end of it: no death notice. Safe from any thread, also the notification thread
    // and inside the encoder's own output callback. Returns within a second; a handshake under
    // way on another thread gives up as well.
    void shutdown();
    // The first steps of shutdown(). Encoders ended together all take each step before any
    // takes the next, so that their programs' grace times overlap. beginShutdown() asks every
    // part to end and returns at once; closeInput() then waits (a fraction of a second) until
    // the program's input is closed.
    void beginShutdown();
    void closeInput();
    // Its mixer will never feed it again: reported as a dead encoder.
    void starved() noexcept override;

    uint64_t inputDropped() const { return inDropped_.load(); }
    size_t inputQueued();
    // Programs started and not yet read to their end: 2 or more right after a title change of
    // a chained format, until the earlier ones have ended their streams.
    size_t runs();
    // The program being read (the only one outside a title change); for tests.
    const Process& process() const;
    bool hasCast() const;
    title::Sender* titleSender();

private:
    // One run of the program: the whole stream, or one link of a chained one.
    struct Run {
        Process process;
        std::atomic<bool> inputClosed{false};  // by the writer at a title: its end is no death
    };
    // Samples for the program, or (with `next`) the point where the next run takes over.
    struct Chunk {
        std::vector<uint8_t> samples;
        std::shared_ptr<Run> next;
    };
    int startLink(const std::string& title);
    std::shared_ptr<Run> runBeingRead();
    void writerLoop();
    void readerLoop();
    void postOnce(DWORD status);
    void noteFed();
    bool hung() const;

    const DWORD rate_, chans_;
    ENCODEPROC* proc_;
    void* user_;
    DWORD channel_ = 0;
    std::string cmdline_;
    bool withHeader_ = false;
    std::unique_ptr<FileOutput> file_;
    std::atomic<bool> draining_{false};
    bool readerDone_ = false;  // under inMutex_
    DWORD chain_ = 0;                    // chained format, 0 for none
    std::vector<std::string> program_;   // the command line, split
    uint32_t serial_ = 0;                // of the next link
    std::shared_ptr<Run> writing_;       // the writer's; set by start before the threads
    mutable std::mutex runsMutex_;
    std::deque<std::shared_ptr<Run>> runs_;  // the one being read first; under runsMutex_
    std::atomic<bool> ending_{false};
    std::atomic<bool> castCancelled_{false};
    std::atomic<bool> castAbort_{false};  // ending or cancelled: what a handshake watches
    std::atomic<bool> readerStop_{false};
    std::atomic<bool> outputReleased_{false};
    std::atomic<bool> deathPosted_{false};
    std::atomic<bool> castPosted_{false};
    // Steady-clock nanoseconds; feedingSince_ is 0 while nothing was fed since the last output.
    std::atomic<int64_t> lastFed_{0};
    std::atomic<int64_t> feedingSince_{0};

    std::mutex inMutex_;
    std::condition_variable inCv_;
    std::deque<Chunk> inQueue_;
    size_t inQueued_ = 0;
    size_t inMax_;
    std::atomic<uint64_t> inDropped_{0};

    mutable std::mutex castMutex_;
    std::unique_ptr<icy::Link> link_;
    std::vector<uint8_t> pending_;  // output before a cast is attached (headers of the stream)
    cast::Address castAddress_;
    std::string castPass_;
    text::Charset castCharset_ = text::Charset::Latin1;  // how the server reads this stream's texts
    std::function<bool()> castTitleGate_;  // when a title may go to the server (Ogg: see encoder.cpp)
    std::unique_ptr<title::Sender> titles_;

    std::thread writer_, reader_;
    std::once_flag beginOnce_, inputOnce_, shutdownOnce_;
};

}  // namespace bassx
