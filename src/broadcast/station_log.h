// The station log beside the settings file: one line per event with its local time, so that
// a presenter can read afterwards what the station did and why. Bounded: a file that would
// grow past stationLogMaxBytes becomes the one previous file (".1", replacing the one
// before) and a new one starts. Any thread; a log that cannot be written is skipped quietly,
// it never holds up the station.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

constexpr const char* stationLogFileName = "Larkspur_Station.log";
constexpr std::uintmax_t stationLogMaxBytes = 512 * 1024;

void logConnect(const std::string& server);  // a connect the user asked for begins
void logOnAir(const std::string& server);
void logFailure(const std::string& reason);  // the reason in the words the user is shown
void logReconnectAttempt(int attempt);       // counted from 1 after each failure
void logTitle(const std::string& title);
void logDeadAir(bool silent);  // true: dead air began; false: sound is back
void logDisconnect();
void logCaptureDeviceMissing(const std::string& stableName);  // connect took the default input instead

// One line as written: "YYYY-MM-DD HH:MM:SS event", line breaks in the event removed.
std::string stationLogLine(const std::tm& when, std::string_view event);
