#include "broadcast/outputs.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "broadcast/connection.h"
#include "broadcast/recording.h"
#include "broadcast/station_log.h"

namespace {

constexpr auto reconnectDelay = std::chrono::milliseconds(1000);
constexpr int extraOutputs = lastOutput - firstExtraOutput + 1;

// What a cast sends: everything the output and the station say, line breaks removed (they
// would start header lines of their own).
struct CastSetup {
    std::string command, address, password, content, header, url, genre, description;
    DWORD flags = 0;
    bool titlesInStream = false;
    DWORD bitrate = 0;
    BOOL isPublic = FALSE;
    DWORD mixer = 0;
    std::string where;  // for the station log
};

std::string withoutLineBreaks(std::string text) {
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
    return text;
}

// One output's life. Lock order: Output::lock alone; no engine call that waits for a
// notification (a stop) is made while it is held, since the notification takes it.
struct Output {
    std::mutex lock;
    std::condition_variable changed;
    OutputState state;
    HENCODE encoder = 0;
    bool dead = false;
    DWORD deathStatus = 0;
    bool stop = false;
    std::thread thread;
};
std::array<Output, extraOutputs>& outputs = *new std::array<Output, extraOutputs>;  // outlives late notices
// Whether failed outputs reconnect: read at each failure, like output 1's loop does.
const std::atomic<std::int8_t>* autoReconnect = nullptr;

// The last title sent, for a stream that starts anew and carries its titles itself. Lock
// order: titleLock alone.
std::mutex titleLock;
std::string& lastTitle = *new std::string;
std::string& lastUrl = *new std::string;

// Output 1's state while it fails alone; unset otherwise.
std::mutex outputOneLock;
bool outputOneNoted = false;
OutputState outputOne;

Output& outputFor(void* user) { return outputs[reinterpret_cast<std::uintptr_t>(user)]; }

void BASSCALLBACK outputNotify(HENCODE handle, DWORD status, void* user) {
    if (static_cast<std::int32_t>(status) >= 0x10000) return;
    Output& out = outputFor(user);
    std::lock_guard<std::mutex> guard(out.lock);
    if (handle != out.encoder || out.dead) return;
    out.dead = true;
    out.deathStatus = status;
    out.changed.notify_all();
}

void setPhase(Output& out, OutputPhase phase, const std::string& failure) {
    std::lock_guard<std::mutex> guard(out.lock);
    out.state.phase = phase;
    if (phase != OutputPhase::onAir) out.state.failure = failure;
}

// Starts an encoder and its cast; "" on the air, else the failure in words.
std::string connectOutput(Output& out, std::size_t index, const CastSetup& cast) {
    const HENCODE h = BASS_Encode_Start(cast.mixer, cast.command.c_str(), cast.flags, nullptr, nullptr);
    if (!h) return withErrorCode("Couldn't start encoding");
    {
        std::lock_guard<std::mutex> guard(out.lock);
        out.encoder = h;
        out.dead = false;
        if (out.stop) return "stopped";
    }
    if (!BASS_Encode_CastInit(h, cast.address.c_str(), cast.password.c_str(), cast.content.c_str(),
                              cast.header.c_str(), cast.url.c_str(), cast.genre.c_str(), cast.description.c_str(),
                              nullptr, cast.bitrate, cast.isPublic))
        return withErrorCode("Couldn't setup connection with server");
    if (!BASS_Encode_SetNotify(h, outputNotify, reinterpret_cast<void*>(index)))
        return withErrorCode("Error while setting Notify Callback!");
    return {};
}

// Takes the output's encoder off the mixer (and so its cast), never under the output's lock.
void dropEncoder(Output& out) {
    HENCODE h = 0;
    {
        std::lock_guard<std::mutex> guard(out.lock);
        h = out.encoder;
        out.encoder = 0;
    }
    if (h) BASS_Encode_Stop(h);
}

// A new stream of a format that carries its titles starts without one.
void sendLastTitle(HENCODE h) {
    std::string title, url;
    {
        std::lock_guard<std::mutex> guard(titleLock);
        title = lastTitle;
        url = lastUrl;
    }
    if (!title.empty()) BASS_Encode_CastSetTitle(h, title.c_str(), url.c_str());
}

void runOutput(std::size_t index, CastSetup cast) {
    Output& out = outputs[index];
    std::string failure;
    bool first = true;
    int attempt = 0;
    for (;;) {
        setPhase(out, first ? OutputPhase::connecting : OutputPhase::reconnecting, failure);
        if (!first) logReconnectAttempt(++attempt);
        const std::string why = connectOutput(out, index, cast);
        std::unique_lock<std::mutex> guard(out.lock);
        if (out.stop) break;
        if (why.empty()) {
            out.state = OutputState{OutputPhase::onAir, {}};
            attempt = 0;
            const HENCODE h = out.encoder;
            guard.unlock();
            if (cast.titlesInStream) sendLastTitle(h);
            logOnAir(cast.where);
            guard.lock();
            out.changed.wait(guard, [&] { return out.stop || out.dead; });
            if (out.stop) break;
            failure = out.deathStatus == BASS_ENCODE_NOTIFY_CAST ? "The server connection died!" : "The encoder died!";
        } else {
            failure = why;
        }
        guard.unlock();
        dropEncoder(out);
        logFailure(cast.where + ": " + failure);
        first = false;
        if (!autoReconnect || !autoReconnect->load()) {
            setPhase(out, OutputPhase::off, failure);
            return;
        }
        setPhase(out, OutputPhase::reconnecting, failure);
        guard.lock();
        if (out.changed.wait_for(guard, reconnectDelay, [&] { return out.stop; })) break;
    }
}

CastSetup setupFor(const Larkspur& record, const OutputSettings& o) {
    Larkspur like;
    storeText(like.server, o.server);
    like.port = o.port;
    const StreamFormat& format = formatNamed(o.format);
    CastSetup cast;
    cast.command = commandLineFor(format, o.bitrate, record.sampleRate);
    cast.flags = encoderFlags(format);
    cast.titlesInStream = format.titlesInStream;
    cast.address = serverAddress(like);
    cast.password = withoutLineBreaks(o.password);
    cast.content = std::string(format.serverType);
    cast.header = stationHeader(record);
    cast.url = withoutLineBreaks(textOf(record.url));
    cast.genre = withoutLineBreaks(textOf(record.genre));
    cast.description = withoutLineBreaks(textOf(record.description));
    cast.bitrate = castBitrate(format, o.bitrate);
    cast.isPublic = record.isPublic ? TRUE : FALSE;
    cast.mixer = record.mixer;
    cast.where = cast.address;
    return cast;
}

}  // namespace

std::string withErrorCode(const std::string& words) {
    const int code = BASS_ErrorGetCode();
    return code ? words + " (Bass Error: " + std::to_string(code) + ")" : words;
}

void noteOutputOne(OutputPhase phase, const std::string& failure) {
    std::lock_guard<std::mutex> guard(outputOneLock);
    outputOneNoted = true;
    outputOne.phase = phase;
    if (phase != OutputPhase::onAir) outputOne.failure = failure;
}

bool othersOnTheMixer() {
    if (recordingState().on) return true;
    for (Output& out : outputs) {
        std::lock_guard<std::mutex> guard(out.lock);
        if (out.state.phase != OutputPhase::off) return true;
    }
    return false;
}

const StreamFormat& formatNamed(const std::string& key) {
    const StreamFormat* format = formats::byKey(key);
    return format ? *format : formats::mp3;
}

std::string commandLineFor(const StreamFormat& format, int bitrate, int sampleRate) {
    Larkspur like;
    storeText(like.contentType, std::string(format.contentType));
    like.bitrate = bitrate;
    like.sampleRate = sampleRate;
    return encoderCommandLine(like, hostFolder());
}

void startOutputs(Larkspur* record) {
    if (!record) return;
    stopOutputs();
    autoReconnect = &record->autoReconnect;
    const TextSettings text = textSettingsOf(*record);
    for (int n = firstExtraOutput; n <= lastOutput; ++n) {
        Output& out = outputs[static_cast<std::size_t>(n - firstExtraOutput)];
        const OutputSettings& o = text.output(n);
        {
            std::lock_guard<std::mutex> guard(out.lock);
            out.state = OutputState{};
            out.stop = false;
            out.dead = false;
        }
        if (!o.enabled) continue;
        if (o.server.empty() || o.port == 0) {
            setPhase(out, OutputPhase::off, "Server or Port isn't configurated!");
            continue;
        }
        if (hostFolder().find('"') != std::string::npos) {
            setPhase(out, OutputPhase::off, "Couldn't start encoding");
            continue;
        }
        setPhase(out, OutputPhase::connecting, {});
        try {
            out.thread = std::thread(runOutput, static_cast<std::size_t>(n - firstExtraOutput), setupFor(*record, o));
        } catch (const std::system_error&) {
            setPhase(out, OutputPhase::off, "No thread to be had");
        }
    }
}

void stopOutputs() {
    for (Output& out : outputs) {
        std::lock_guard<std::mutex> guard(out.lock);
        out.stop = true;
        out.changed.notify_all();
    }
    // A handshake under way gives up as soon as its encoder goes.
    for (Output& out : outputs) dropEncoder(out);
    {
        std::lock_guard<std::mutex> guard(outputOneLock);
        outputOneNoted = false;
        outputOne = {};
    }
    for (Output& out : outputs) {
        if (out.thread.joinable()) out.thread.join();
        dropEncoder(out);  // one started between the first drop and the stop being seen
        std::lock_guard<std::mutex> guard(out.lock);
        out.state.phase = OutputPhase::off;
    }
}

void sendTitleToOutputs(const std::string& title, const std::string& url) {
    {
        std::lock_guard<std::mutex> guard(titleLock);
        lastTitle = title;
        lastUrl = url;
    }
    for (Output& out : outputs) {
        HENCODE h = 0;
        {
            std::lock_guard<std::mutex> guard(out.lock);
            if (out.state.phase == OutputPhase::onAir) h = out.encoder;
        }
        if (h) BASS_Encode_CastSetTitle(h, title.c_str(), url.c_str());
    }
}

OutputState outputState(int n) {
    if (n == 1) {
        std::lock_guard<std::mutex> guard(outputOneLock);
        if (outputOneNoted) return outputOne;
        return OutputState{station.streaming == 1 ? OutputPhase::onAir : OutputPhase::off, {}};
    }
    if (n < firstExtraOutput || n > lastOutput) return {};
    Output& out = outputs[static_cast<std::size_t>(n - firstExtraOutput)];
    std::lock_guard<std::mutex> guard(out.lock);
    return out.state;
}
