#include "broadcast/station_log.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <system_error>

namespace {

namespace fs = std::filesystem;

#if defined(_WIN32)
constexpr std::string_view lineEnd = "\r\n";
#else
constexpr std::string_view lineEnd = "\n";
#endif

// Writers on several threads append and rotate one at a time; it also guards localtime's buffer.
std::mutex& logLock() {
    static std::mutex* lock = new std::mutex;  // never destroyed: a late handler may still log
    return *lock;
}

void rotateIfFull(std::size_t adding) {
    std::error_code ec;
    const fs::path log(stationLogFileName);
    const auto size = fs::file_size(log, ec);
    if (ec || size + adding <= stationLogMaxBytes) return;
    const fs::path previous(std::string(stationLogFileName) + ".1");
    fs::remove(previous, ec);
    fs::rename(log, previous, ec);
}

void append(std::string_view event) {
    std::lock_guard<std::mutex> guard(logLock());
    const std::time_t now = std::time(nullptr);
    const std::tm* local = std::localtime(&now);
    if (!local) return;
    const std::string line = stationLogLine(*local, event);
    rotateIfFull(line.size());
    std::ofstream out(stationLogFileName, std::ios::binary | std::ios::app);
    out << line;
}

}  // namespace

std::string stationLogLine(const std::tm& when, std::string_view event) {
    char stamp[80];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d ", when.tm_year + 1900, when.tm_mon + 1,
                  when.tm_mday, when.tm_hour, when.tm_min, when.tm_sec);
    std::string line = stamp;
    // A title or a reason cannot forge a line of its own.
    for (char c : event)
        if (c != '\r' && c != '\n') line += c;
    line += lineEnd;
    return line;
}

void logConnect(const std::string& server) { append("connecting to " + server); }
void logOnAir(const std::string& server) { append("on the air at " + server); }
void logFailure(const std::string& reason) { append("failure: " + reason); }
void logReconnectAttempt(int attempt) { append("reconnect attempt " + std::to_string(attempt)); }
void logTitle(const std::string& title) { append("title: " + title); }
void logDeadAir(bool silent) { append(silent ? "dead air" : "sound again after dead air"); }
void logDisconnect() { append("disconnected"); }
void logCaptureDeviceMissing(const std::string& stableName) {
    append("capture device " + stableName + " not found: recording from the default input");
}
