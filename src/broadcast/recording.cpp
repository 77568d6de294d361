#include "broadcast/recording.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "bass.h"
#include "broadcast/connection.h"
#include "broadcast/outputs.h"
#include "broadcast/station_log.h"

namespace {

namespace fs = std::filesystem;

// The state, also taken by the engine's notification: no engine call that waits for a
// notification to end (a split, a stop) is made while it is held.
std::mutex recordingLock;
// One start, split or stop at a time; taken before recordingLock.
std::mutex changeLock;
std::condition_variable tickWake;

struct Recording {
    HENCODE encoder = 0;
    std::string folder, extension;
    int split = 0;
    std::time_t nextSplit = 0;
    std::string file, titleLog;
    std::string title;  // the title playing, carried into the next file's log
    std::string failure;
    std::function<std::time_t()> clock;
    std::thread ticker;
    bool tickerStop = false;
};
Recording& rec = *new Recording;  // never destroyed: a late notification may still come

std::time_t now() { return rec.clock ? rec.clock() : std::time(nullptr); }

bool localTime(std::time_t t, std::tm& out) {
#if defined(_WIN32)
    return localtime_s(&out, &t) == 0;
#else
    return localtime_r(&t, &out) != nullptr;
#endif
}

struct Place {
    std::string folder, extension;
};

// A name that neither an audio file nor a title log has; "" when the clock cannot be read.
std::string freshBase(const Place& place, std::time_t start) {
    std::tm local{};
    if (!localTime(start, local)) return {};
    const std::string base = (fs::path(place.folder) / recordingBaseName(local)).string();
    for (int n = 1; n < 1000; ++n) {
        const std::string name = n == 1 ? base : base + "_" + std::to_string(n);
        std::error_code ec;
        if (!fs::exists(name + place.extension, ec) && !fs::exists(name + ".txt", ec)) return name;
    }
    return {};
}

void appendTitle(std::time_t when, const std::string& title) {
    std::tm local{};
    if (rec.titleLog.empty() || !localTime(when, local)) return;
    std::ofstream(rec.titleLog, std::ios::binary | std::ios::app) << stationLogLine(local, title);
}

void stopped(const std::string& why) {
    rec.encoder = 0;
    rec.failure = why;
    logFailure(why);
}

void BASSCALLBACK recordingNotify(HENCODE handle, DWORD status, void*) {
    if (static_cast<std::int32_t>(status) >= 0x10000) return;
    std::lock_guard<std::mutex> guard(recordingLock);
    if (handle == 0 || handle != rec.encoder) return;
    stopped(status == BASS_ENCODE_NOTIFY_FILE ? "The recording stopped: its file could not be written (disk full?)"
                                              : "The recording stopped: its encoder died");
}

// Under the lock: the new file's names, its log begun with the title playing.
void begin(HENCODE encoder, const std::string& base, std::time_t start) {
    rec.encoder = encoder;
    rec.file = base + rec.extension;
    rec.titleLog = base + ".txt";
    rec.failure.clear();
    std::ofstream(rec.titleLog, std::ios::binary | std::ios::app).flush();
    if (!rec.title.empty()) appendTitle(start, rec.title);
    BASS_Encode_SetNotify(encoder, recordingNotify, nullptr);
    rec.nextSplit = nextSplitAfter(start, rec.split);
}

// Without recordingLock: `start` the file on the mixer, or split the running one into it.
// Another file of that name made between our look and the engine's refusal: the next name.
HENCODE openFile(const Place& place, const std::function<HENCODE(const std::string&)>& start, std::time_t when,
                 std::string& base) {
    for (int tries = 0; tries < 3; ++tries) {
        base = freshBase(place, when);
        if (base.empty()) return 0;
        if (HENCODE h = start(base + place.extension)) return h;
        if (BASS_ErrorGetCode() != BASS_ERROR_FILEOPEN) return 0;
        std::error_code ec;
        if (!fs::exists(base + place.extension, ec)) return 0;
    }
    return 0;
}

void tickerLoop() {
    std::unique_lock<std::mutex> guard(recordingLock);
    while (!rec.tickerStop) {
        tickWake.wait_for(guard, std::chrono::milliseconds(250));
        if (rec.tickerStop) break;
        guard.unlock();
        recordingTick();
        guard.lock();
    }
}

}  // namespace

std::string recordingBaseName(const std::tm& start) {
    char name[64];
    std::snprintf(name, sizeof name, "Larkspur_%04d-%02d-%02d_%02d-%02d-%02d", start.tm_year + 1900, start.tm_mon + 1,
                  start.tm_mday, start.tm_hour, start.tm_min, start.tm_sec);
    return name;
}

std::time_t nextSplitAfter(std::time_t now, int minutes) {
    if (minutes <= 0) return 0;
    std::tm local{};
    if (!localTime(now, local)) return 0;
    const long sinceMidnight = local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec;
    const long period = minutes * 60L;
    std::time_t next = now - sinceMidnight % period + period;
    // Every day starts afresh at midnight, also where the period does not divide the day.
    std::tm midnight = local;
    midnight.tm_hour = midnight.tm_min = midnight.tm_sec = 0;
    ++midnight.tm_mday;
    midnight.tm_isdst = -1;
    const std::time_t tomorrow = std::mktime(&midnight);
    return tomorrow > now && tomorrow < next ? tomorrow : next;
}

int startRecording(Larkspur* record) {
    if (!record) return 0;
    const RecordingSettings settings = textSettingsOf(*record).recording;
    std::lock_guard<std::mutex> change(changeLock);
    const StreamFormat& format = formatNamed(settings.format);
    const Place place{settings.folder, std::string(format.extension)};
    std::time_t start = 0;
    {
        std::lock_guard<std::mutex> guard(recordingLock);
        rec.encoder = 0;
        rec.failure.clear();
        if (!settings.enabled) return 1;
        rec.folder = place.folder;
        rec.extension = place.extension;
        rec.split = settings.split;
        start = now();
    }
    const std::string command = commandLineFor(format, settings.bitrate, record->sampleRate);
    const DWORD flags = encoderFlags(format);
    const DWORD mixer = record->mixer;
    std::string base;
    // A double quote cannot be written inside the quoted program path (as for the servers).
    const HENCODE h = hostFolder().find('"') != std::string::npos
                          ? 0
                          : openFile(place,
                                     [&](const std::string& file) {
                                         return BASS_Encode_StartFile(mixer, command.c_str(), flags, file.c_str());
                                     },
                                     start, base);
    const int code = BASS_ErrorGetCode();
    std::lock_guard<std::mutex> guard(recordingLock);
    if (!h) {
        const std::string folder = place.folder.empty() ? "the working folder" : place.folder;
        stopped("The recording could not start in " + folder + " (Bass Error: " + std::to_string(code) + ")");
        return 0;
    }
    begin(h, base, start);
    if (!rec.ticker.joinable()) {
        rec.tickerStop = false;
        try {
            rec.ticker = std::thread(tickerLoop);
        } catch (const std::system_error&) {
            // No thread: one file for the whole connection.
        }
    }
    return 1;
}

void stopRecording() {
    std::thread ticker;
    {
        std::lock_guard<std::mutex> change(changeLock);
        std::lock_guard<std::mutex> guard(recordingLock);
        // The mixer's stop closes the file; no notice of it comes.
        rec.encoder = 0;
        rec.tickerStop = true;
        ticker = std::move(rec.ticker);
    }
    tickWake.notify_all();
    if (ticker.joinable() && ticker.get_id() != std::this_thread::get_id()) ticker.join();
    else if (ticker.joinable()) ticker.detach();
}

void recordingTick() {
    std::lock_guard<std::mutex> change(changeLock);
    HENCODE old = 0;
    std::time_t due = 0, t = 0;
    Place place;
    {
        std::lock_guard<std::mutex> guard(recordingLock);
        if (!rec.encoder || !rec.nextSplit) return;
        t = now();
        if (t < rec.nextSplit) return;
        // The new file is named for the time it was due, which a late tick does not move.
        due = rec.nextSplit;
        old = rec.encoder;
        place = {rec.folder, rec.extension};
    }
    std::string base;
    const HENCODE h =
        openFile(place, [&](const std::string& file) { return BASS_Encode_SplitFile(old, file.c_str()); }, due, base);
    const int code = BASS_ErrorGetCode();
    std::lock_guard<std::mutex> guard(recordingLock);
    if (rec.encoder != old) return;  // it died meanwhile: the mixer's stop ends what we made
    if (!h) {
        // The running file goes on; the next split is tried at its own time.
        logFailure("The recording could not start a new file (Bass Error: " + std::to_string(code) + ")");
        rec.nextSplit = nextSplitAfter(t, rec.split);
        return;
    }
    begin(h, base, due);
    if (rec.nextSplit <= t) rec.nextSplit = nextSplitAfter(t, rec.split);
}

void recordTitle(const std::string& title) {
    std::lock_guard<std::mutex> guard(recordingLock);
    rec.title = title;
    if (rec.encoder) appendTitle(now(), title);
}

RecordingState recordingState() {
    std::lock_guard<std::mutex> guard(recordingLock);
    return RecordingState{rec.encoder != 0, rec.file, rec.failure};
}

void setRecordingClock(std::function<std::time_t()> clock) {
    std::lock_guard<std::mutex> guard(recordingLock);
    rec.clock = std::move(clock);
}
