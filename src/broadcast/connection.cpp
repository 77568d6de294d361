// Taking the station on the air and off it, and surviving a dying encoder or server.
#include "broadcast/connection.h"

#include <cctype>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/audio_graph.h"
#include "audio/capture_devices.h"
#include "audio/error_report.h"
#include "audio/talk_over.h"
#include "broadcast/broadcast_state.h"
#include "broadcast/formats.h"
#include "broadcast/outputs.h"
#include "broadcast/recording.h"
#include "broadcast/station_log.h"
#include "broadcast/title_status.h"
#include "desktop/desktop.h"
#include "plugin/globals.h"

namespace {

// Connect and disconnect run whole, one at a time, whichever thread asks (window thread,
// failure handler). Recursive: connectStream calls startEncoder, which is public too.
// Lock order: connectionLock before handlersLock, never the other way round.
std::recursive_mutex connectionLock;

// Set by Quit: a handshake under way is cancelled and no connect starts one, so nothing
// Quit waits for (the window thread, a reconnect loop) hangs on a server that says nothing.
std::atomic<bool> connectsCancelled{false};

// The encoder whose death we handle. Cleared before a disconnect stops it, and claimed by
// the first notification, so neither our own teardown nor a second notice of the same death
// starts the handling again.
std::atomic<std::uint32_t> currentEncoder{0};

// Failure handlers run on threads of their own: the notification must return at once, since
// the handler stops the very encoder that notified and may take the connection lock.
struct Handler {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
};
std::mutex handlersLock;
std::condition_variable handlersChanged;
// Never destroyed: a handler thread still unjoined at exit must not end the process.
std::vector<Handler>& handlers = *new std::vector<Handler>;  // under handlersLock
int busyHandlers = 0;           // handlers not yet past their reconnect loop; under handlersLock
// The user or Quit taking over (both may at once). Changed under handlersLock; read without it
// by a reconnect attempt, which then gives up instead of making the taker wait for it.
std::atomic<int> takeOvers{0};

// True on the failure handlers' threads: their connect attempts are the ones a take-over ends.
thread_local bool onReconnectThread = false;

constexpr auto reconnectDelay = std::chrono::milliseconds(1000);

std::string withoutLineBreaks(std::string text) {
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
    return text;
}

// Every station text goes into the source handshake: a line break would start a header line.
std::string castText(const TextField& field) { return withoutLineBreaks(textOf(field)); }

// The connect under way on this thread is to give up at once, its failure unreported: Quit's
// forced end, or, for a reconnect attempt, the user's Connect or Disconnect.
bool attemptCancelled() { return connectsCancelled || (onReconnectThread && takeOvers.load() > 0); }

// The program as the failure box names it, in the form the described box uses.
std::string programFileName(const StreamFormat& format) {
    std::string name(format.program);
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name + ".EXE";
}

void dropCaptureChannel(Larkspur* record) {
    BASS_ChannelStop(record->recordChannel);
    record->recordChannel = 0;
}

// Every failure is told here, once: its reason goes on the status line at once (before a box
// holds the thread) and into the station log, with what the box says. Makes no library call,
// so the thread's error code stays for the box.
void noteFailure(FailureReason reason, const std::string& told = {}) {
    if (attemptCancelled()) return;  // Quit or the user ended it: no failure of the station's
    broadcastState.lastFailure = reason;
    broadcastState.connecting = false;
    logFailure(told.empty() ? reasonText(reason) : std::string(reasonText(reason)) + " - " + told);
    updateStatus(nullptr);  // off the air at every failure
}

// A failing step of a connect: its reason, then its box (while reports are on).
void failStep(FailureReason reason, const char* message) {
    const std::string told = errorReportText(message, BASS_ErrorGetCode());
    noteFailure(reason, told.substr(0, told.find_last_not_of(' ') + 1));
    reportError(message);
}

// What the dying connection streamed, so that the time shown goes on after a reconnection.
void carryStreamedTime(Larkspur* record) {
    const DWORD stream = record->hostStream;
    const double seconds = BASS_ChannelBytes2Seconds(stream, BASS_Mixer_ChannelGetPosition(stream, BASS_POS_BYTE));
    if (seconds > 0.0 && seconds < 1e9) broadcastState.carriedMs += static_cast<std::int64_t>(seconds * 1000.0);
}

void showToggle(bool down) {
    if (!desktop::controlExists(connectToggle)) return;
    desktop::setChecked(connectToggle, down);
    desktop::setText(connectToggle, down ? "Disconnect" : "Connect");
}

void endHandling() {
    std::lock_guard<std::mutex> guard(handlersLock);
    --busyHandlers;
    handlersChanged.notify_all();
}

bool loopCancelled() {
    std::lock_guard<std::mutex> guard(handlersLock);
    return takeOvers > 0;
}

// Sleeps the reconnect delay; false when the loop is cancelled meanwhile.
bool sleepBeforeAttempt() {
    std::unique_lock<std::mutex> guard(handlersLock);
    return !handlersChanged.wait_for(guard, reconnectDelay, [] { return takeOvers > 0; });
}

// The source connection of output 1's encoder, with the station's texts.
bool castOutputOne(Larkspur* record) {
    const std::string address = serverAddress(*record);
    const std::string header = stationHeader(*record);
    const std::string password = castText(record->password);
    const std::string content = formats::serverType(castText(record->contentType));
    const DWORD bitrate = castBitrate(formats::encodedAs(textOf(record->contentType)), record->bitrate);
    const std::string url = castText(record->url);
    const std::string genre = castText(record->genre);
    const std::string description = castText(record->description);
    // Read after the encoder was stored: a cancel that came first has either found that
    // encoder or is seen here, so the handshake below never waits out its deadline.
    if (attemptCancelled()) BASS_Encode_CastCancel(record->encoder);
    return BASS_Encode_CastInit(record->encoder, address.c_str(), password.c_str(), content.c_str(), header.c_str(),
                                url.c_str(), genre.c_str(), description.c_str(), nullptr, bitrate,
                                record->isPublic ? TRUE : FALSE);
}

// Output 1 alone, while other outputs or the recording run on the mixer: its encoder is
// replaced and the graph, the others and the recording go on. Under the connection lock.
// "" on the air again, else the failure in words.
std::string restartOutputOne(Larkspur* record) {
    const std::string command = encoderCommandLine(*record, hostFolder());
    record->encoder = BASS_Encode_Start(record->mixer, command.c_str(),
                                        encoderFlags(formats::encodedAs(textOf(record->contentType))), nullptr, nullptr);
    if (record->encoder == 0) return withErrorCode("Couldn't start encoding");
    std::string failure;
    if (castOutputOne(record)) {
        currentEncoder = record->encoder.load();
        if (BASS_Encode_SetNotify(record->encoder, encoderNotify, nullptr)) return {};
        currentEncoder = 0;
        failure = withErrorCode("Error while setting Notify Callback!");
    } else {
        failure = withErrorCode("Couldn't setup connection with server");
    }
    BASS_Encode_Stop(record->encoder);
    return failure;
}

void handleOutputOneDeath(Larkspur* record, const char* death) {
    {
        std::lock_guard<std::recursive_mutex> guard(connectionLock);
        BASS_Encode_Stop(record->encoder);
    }
    noteOutputOne(OutputPhase::reconnecting, death);
    logFailure(death);
    if (!record->autoReconnect) {
        noteOutputOne(OutputPhase::off, death);
        endHandling();
        reportError(death);
        return;
    }
    int attempt = 0;
    while (!loopCancelled() && record->autoReconnect) {
        if (!sleepBeforeAttempt()) break;
        std::lock_guard<std::recursive_mutex> guard(connectionLock);
        if (record->streaming != 1) break;  // disconnected meanwhile
        logReconnectAttempt(++attempt);
        const int shown = showErrors.exchange(0);
        const std::string failure = restartOutputOne(record);
        showErrors = shown;
        if (failure.empty()) {
            noteOutputOne(OutputPhase::onAir, {});
            logOnAir(serverAddress(*record));
            break;
        }
        noteOutputOne(OutputPhase::reconnecting, failure);
    }
    if (!record->autoReconnect) noteOutputOne(OutputPhase::off, death);
    endHandling();
}

void handleDeath(Larkspur* record, DWORD status) {
    if (record->streaming == 1 && othersOnTheMixer()) {
        handleOutputOneDeath(record, status == BASS_ENCODE_NOTIFY_CAST ? "The server connection died!"
                                                                       : "The encoder died!");
        return;
    }
    const bool reconnect = record->autoReconnect != 0;
    const char* death = status == BASS_ENCODE_NOTIFY_CAST ? "The server connection died!" : "The encoder died!";
    {
        std::lock_guard<std::recursive_mutex> guard(connectionLock);
        if (reconnect) {
            carryStreamedTime(record);
            broadcastState.attempt = 0;
            broadcastState.reconnecting = true;  // the toggle stays down from here on
        }
        noteFailure(status == BASS_ENCODE_NOTIFY_CAST ? FailureReason::ServerLost : FailureReason::EncoderStopped, death);
        disconnectStream(record);
    }
    if (!reconnect) {
        endHandling();  // a press of the toggle must not wait for the box below
        reportError(death);
        return;
    }
    int result = 0;
    int attempt = 0;
    while (!loopCancelled()) {
        if (record->autoReconnect) {
            if (!sleepBeforeAttempt()) break;
            std::lock_guard<std::recursive_mutex> guard(connectionLock);
            disconnectStream(record);
            showErrors = 0;
            broadcastState.attempt = ++attempt;
            logReconnectAttempt(attempt);
            updateStatus(record);
            result = connectStream(record);
            showErrors = 1;
            if (result == 1) {
                showToggle(true);  // under the lock: a press waiting on it comes after
                applyDeferredSpeaking(record);  // Speak or Hold moved during the attempt
                logOnAir(serverAddress(*record));
            }
        } else {
            std::lock_guard<std::recursive_mutex> guard(connectionLock);
            disconnectStream(record);
        }
        if (result == 1 || !record->autoReconnect) break;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(connectionLock);
        // An attempt ended by a take-over leaves its capture device open: a Connect that
        // follows at once must find it free.
        if (result != 1) disconnectStream(record);
        broadcastState.reconnecting = false;
        broadcastState.attempt = 0;
        if (result != 1) {
            // Given up: off the air, with the last reason.
            showToggle(false);
            updateStatus(record);
        }
    }
    endHandling();
}

// Ends every failure handler's reconnect loop and waits until none is left in one; an attempt
// under way gives up at once (its capture device's open and its handshake cancelled), so this
// waits a fraction of a second, never for a server. No loop starts until endTakeOver(). The
// capture cancel lasts until the device is closed: the loop's end closes it unless back on
// the air, and every later connect comes after a disconnect.
void takeOver(Larkspur* record) {
    bool loopRunning = false;
    {
        std::lock_guard<std::mutex> guard(handlersLock);
        ++takeOvers;
        loopRunning = busyHandlers > 0;
        handlersChanged.notify_all();
    }
    // After takeOvers went up: an attempt that stores its encoder later sees the count instead.
    if (loopRunning) {
        BASS_RecordCancel();
        if (record) BASS_Encode_CastCancel(record->encoder);
    }
    std::unique_lock<std::mutex> guard(handlersLock);
    handlersChanged.wait(guard, [] { return busyHandlers == 0; });
}

void endTakeOver() {
    std::lock_guard<std::mutex> guard(handlersLock);
    --takeOvers;
}

void reapFinishedHandlers() {
    // Under handlersLock. A finished handler's thread returns at once, so joining is quick.
    for (auto it = handlers.begin(); it != handlers.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = handlers.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

void setStatus(const std::string& text) {
    if (desktop::controlExists(statusLine)) desktop::setText(statusLine, text);
}

std::string encoderCommandLine(const Larkspur& record, const std::string& folder) {
    // Quoted: the host folder may hold spaces. The raw input's rate is the graph's own rate;
    // every encoder is told 16-bit little-endian stereo raw input.
    const StreamFormat& format = formats::encodedAs(textOf(record.contentType));
    const std::string program = "\"" + folder + "Plugins/Larkspur/" + std::string(format.program) + "\"";
    const std::string rate = std::to_string(record.sampleRate);
    const std::string bitrate = std::to_string(record.bitrate);
    if (&format == &formats::mp3) return program + " -r -s " + rate + " -b " + bitrate + " -";
    if (&format == &formats::opus)
        // Constrained VBR: a station's listeners get about the bitrate it announces.
        return program + " --quiet --raw --raw-rate " + rate + " --raw-chan 2 --bitrate " + bitrate + " --cvbr - -";
    if (&format == &formats::flac)
        return program + " --silent --ogg --force-raw-format --endian=little --sign=signed --channels=2 --bps=16" +
               " --sample-rate=" + rate + " -";
    return program + " -r -R " + rate + " -b " + bitrate + " -m " + bitrate + " -";
}

DWORD encoderFlags(const StreamFormat& format) {
    DWORD flags = BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE;
    if (&format == &formats::opus) flags |= BASS_ENCODE_CHAIN_OPUS;
    if (&format == &formats::flac) flags |= BASS_ENCODE_CHAIN_FLAC;
    return flags;
}

DWORD castBitrate(const StreamFormat& format, int bitrate) {
    // A lossless stream has no bitrate to announce; the link measures what it sends.
    return format.bitrates.empty() ? 0 : static_cast<DWORD>(bitrate);
}

std::string serverAddress(const Larkspur& record) {
    // A bare host gets ":port" at its end as always; an address with a mount point
    // ("host/live", "http://[user@]host/live", "https://...") gets it after the host, before
    // the mount, so the engine receives one well-formed address.
    const std::string server = castText(record.server);
    const std::string port = ":" + std::to_string(record.port);
    const auto scheme = server.find("://");
    const auto hostFrom = scheme == std::string::npos ? 0 : scheme + 3;
    const auto mount = server.find('/', hostFrom);
    if (mount == std::string::npos) return server + port;
    return server.substr(0, mount) + port + server.substr(mount);
}

std::string stationHeader(const Larkspur& record) {
    std::string header = castText(record.stationName);
    const struct {
        const char* name;
        const TextField& field;
    } contacts[] = {{"icy-icq: ", record.icq}, {"icy-aim: ", record.aim}, {"icy-irc: ", record.irc}};
    for (const auto& contact : contacts) {
        const std::string entry = castText(contact.field);
        if (!entry.empty()) header += "\r\n" + std::string(contact.name) + entry;
    }
    return header;
}

int startEncoder(Larkspur* record) {
    if (!record) {
        reportError("Can't find Larkspur Structure!");
        return 0;
    }
    std::lock_guard<std::recursive_mutex> guard(connectionLock);
    const std::string folder = hostFolder();
    const std::string command = encoderCommandLine(*record, folder);
    // A double quote cannot be written inside the quoted program path: the split would start
    // some other program. Such a folder is refused like a missing encoder.
    const StreamFormat& format = formats::encodedAs(textOf(record->contentType));
    record->encoder = folder.find('"') != std::string::npos
                          ? 0
                          : BASS_Encode_Start(record->mixer, command.c_str(), encoderFlags(format), nullptr, nullptr);
    if (record->encoder == 0) {
        const FailureReason reason = BASS_ErrorGetCode() == BASS_ERROR_FILEOPEN || folder.find('"') != std::string::npos
                                         ? FailureReason::EncoderMissing
                                         : FailureReason::AudioEngine;
        if (&format == &formats::mp3 || &format == &formats::vorbis) {
            failStep(reason,
                     "Couldn't start encoding...\\n Make sure OGGENC.EXE (if encoding to OGG) is in \\Plugins\\Larkspur\\ "
                     "\\n, or LAME.EXE (if encoding to MP3).");
        } else {
            const std::string message = "Couldn't start encoding...\\n Make sure " + programFileName(format) +
                                        " (if encoding to " + std::string(format.name) + ") is in \\Plugins\\Larkspur\\ .";
            failStep(reason, message.c_str());
        }
        dropCaptureChannel(record);
        return 0;
    }
    return 1;
}

int connectStream(Larkspur* record) {
    if (!record) {
        reportError("Can't find Larkspur Structure!");
        return 0;
    }
    std::lock_guard<std::recursive_mutex> guard(connectionLock);
    // The plug-in is going, or the user took over: not even the capture device.
    if (attemptCancelled()) return 0;
    if (!BASS_RecordInit(captureDeviceNumber(*record))) {
        failStep(FailureReason::CaptureDevice, "Can't Init the Recorddevice");
        return 0;
    }
    noteSystemInputLevel();
    if (!createSources(record)) {
        noteFailure(FailureReason::AudioEngine);
        return 0;
    }
    // Before the capture channel runs: nothing the presenter says goes out until Speak.
    leaveSpeaking(record);
    if (!createMixer(record)) {
        noteFailure(FailureReason::AudioEngine);
        return 0;
    }
    if (!startEncoder(record)) return 0;

    const std::string server = castText(record->server);
    if (server.empty() || record->port == 0) {
        failStep(FailureReason::NotConfigured, "Server or Port isn't configurated!");
        return 0;
    }
    if (!castOutputOne(record)) {
        failStep(castFailureReason(BASS_ErrorGetCode()), "Couldn't setup connection with server");
        dropCaptureChannel(record);
        return 0;
    }
    if (!BASS_ChannelSetAttribute(record->mixer, BASS_ATTRIB_VOL, 0.0f)) {
        failStep(FailureReason::AudioEngine, "Error in mounting Mixer Channel!");
        dropCaptureChannel(record);
        return 0;
    }
    if (!BASS_ChannelPlay(record->mixer, FALSE)) {
        failStep(FailureReason::AudioEngine, "Error in playing Mixer Channel!");
        dropCaptureChannel(record);
        return 0;
    }
    if (!BASS_ChannelPlay(record->recordChannel, FALSE)) {
        failStep(FailureReason::AudioEngine, "Error in playing record Channel!");
        dropCaptureChannel(record);
        return 0;
    }
    // Armed before registering, so that a death reported at once is handled.
    currentEncoder = record->encoder.load();
    if (!BASS_Encode_SetNotify(record->encoder, encoderNotify, nullptr)) {
        currentEncoder = 0;
        failStep(FailureReason::AudioEngine, "Error while setting Notify Callback!");
        dropCaptureChannel(record);
        return 0;
    }
    startRecording(record);  // their failures leave the broadcast on the air
    startOutputs(record);
    record->streaming = 1;
    setStatus(noDataStatus);
    return 1;
}

void disconnectStream(Larkspur* record) {
    if (!record) return;
    std::lock_guard<std::recursive_mutex> guard(connectionLock);
    currentEncoder = 0;  // what the stops below bring about is no failure
    stopRecording();
    stopOutputs();
    BASS_ChannelStop(record->recordChannel);
    BASS_ChannelStop(record->mixer);
    BASS_ChannelStop(record->hostStream);
    // Only now: nothing captured at the system's level reaches the stream, and the device is
    // still open for the call.
    restoreSystemInputLevel();
    BASS_RecordFree();
    record->speaking = 0;
    record->recordChannel = 0;
    record->mixer = 0;
    record->hostStream = 0;
    record->streaming = 0;
    if (broadcastState.reconnecting) {
        updateStatus(record);  // still on the way back to the air
    } else {
        setStatus("offline...");
        showToggle(false);
    }
}

void BASSCALLBACK encoderNotify(HENCODE handle, DWORD status, void*) {
    if (static_cast<std::int32_t>(status) >= 0x10000) return;  // notices that end nothing
    std::uint32_t expected = handle;
    if (handle == 0 || !currentEncoder.compare_exchange_strong(expected, 0)) return;

    std::lock_guard<std::mutex> guard(handlersLock);
    reapFinishedHandlers();
    auto done = std::make_shared<std::atomic<bool>>(false);
    ++busyHandlers;
    try {
        std::thread thread([done, status] {
            onReconnectThread = true;
            handleDeath(&station, status);
            done->store(true);
        });
        handlers.push_back(Handler{std::move(thread), done});
    } catch (const std::system_error&) {
        // No thread to be had: the station is lost either way; leave it to the user.
        --busyHandlers;
    }
}

int toggleConnection(Larkspur* record, bool connect) {
    if (connect) {
        // Shown before anything waits (a reconnect attempt, the server): the window thread
        // handles nothing else until the connect is done.
        broadcastState.connecting = true;
        broadcastState.lastFailure = FailureReason::None;
        updateStatus(record);
        desktop::repaintNow();
    }
    // A reconnect attempt under way is ended, not waited for: whichever the press, the user
    // decides now. Connect connects at once (the toggle read "Connect": the user wants the
    // station on the air now, not after a silent server's deadline); Disconnect stays off.
    takeOver(record);
    int result = 1;
    {
        std::lock_guard<std::recursive_mutex> guard(connectionLock);
        if (connect && (!record || record->streaming != 1)) {  // a reconnect may have just succeeded
            broadcastState.carriedMs = 0;  // a new broadcast
            if (record) logConnect(serverAddress(*record));
            result = connectStream(record);
            if (record && result == 1) logOnAir(serverAddress(*record));
        }
        broadcastState.connecting = false;
        if (!connect) {
            broadcastState.lastFailure = FailureReason::None;  // off the air by choice
            broadcastState.carriedMs = 0;
        }
        if (!connect || result != 1) disconnectStream(record);
        if (!connect) logDisconnect();
        showToggle(connect && result == 1);
    }
    endTakeOver();
    return result;
}

bool failureHandlingUnderWay() {
    std::lock_guard<std::mutex> guard(handlersLock);
    return busyHandlers > 0;
}

std::unique_lock<std::recursive_mutex> lockConnection() {
    return std::unique_lock<std::recursive_mutex>(connectionLock);
}

std::unique_lock<std::recursive_mutex> tryLockConnection() {
    return std::unique_lock<std::recursive_mutex>(connectionLock, std::try_to_lock);
}

namespace {

void joinHandlers() {
    for (;;) {
        std::vector<Handler> finishing;
        {
            std::lock_guard<std::mutex> guard(handlersLock);
            if (handlers.empty()) return;
            finishing.swap(handlers);
        }
        for (Handler& handler : finishing) handler.thread.join();
    }
}

}  // namespace

void cancelConnects(Larkspur* record) {
    showErrors = 0;  // a cancelled connect is no failure to tell anyone about
    connectsCancelled = true;
    // Opening the capture device waits on the sound server, as the handshake on the server.
    BASS_RecordCancel();
    if (record) BASS_Encode_CastCancel(record->encoder);
}

void shutdownBroadcast(Larkspur* record) {
    // A box now would hold Quit until someone closes it, with the window already gone; one
    // already open is closed, since the handler showing it is joined below. A reconnect
    // attempt in its handshake ends at once instead of at its deadline.
    cancelConnects(record);
    takeOver(record);
    showErrors = 0;  // a reconnect attempt that ended meanwhile turned reports on again
    desktop::endLoop();
    joinHandlers();
    {
        std::lock_guard<std::recursive_mutex> guard(connectionLock);
        if (record && record->streaming == 1) {
            disconnectStream(record);
            logDisconnect();
        }
        // A failed reconnect attempt may have left the capture device open with its input muted.
        restoreSystemInputLevel();
        // Closed, which also lets a later session open it again after the cancel above.
        BASS_RecordFree();
        releaseAudioDevice();
    }
    joinHandlers();  // a notice that slipped in before the device went
    // Not the value found on entry: a Quit during a reconnect attempt would find 0 there, and
    // no failure would ever be reported again after the next Init.
    showErrors = 1;
    resetBroadcastState();
    connectsCancelled = false;  // a later Init connects again
    endTakeOver();
}
