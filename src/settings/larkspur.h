// The one station record: the settings the user edits, the handles of the audio graph and
// the connection while they exist, and the run-time flags.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

constexpr std::size_t textFieldSize = 255;
using TextField = char[textFieldSize];

// Text fields hold at most 255 bytes, zero-filled; a 255-byte text has no terminator.
// Writers on the window thread and readers on a reconnect thread meet on textLock().
std::mutex& textLock();
void storeText(TextField& field, std::string_view text);  // takes textLock()
std::string textOf(const TextField& field);               // takes textLock()

// Handles, numbers and flags are atomic: the playback thread reads hostStream, a reconnect
// thread runs connect and disconnect while the window thread writes the settings.
struct Larkspur {
    std::atomic<std::uint32_t> recordChannel{0};
    std::atomic<std::uint32_t> hostStream{0};
    std::atomic<std::uint32_t> encoder{0};
    std::atomic<std::uint32_t> mixer{0};
    std::atomic<std::uint32_t> volumeFx{0};
    TextField server{};
    TextField password{};
    TextField stationName{};
    TextField url{};
    TextField genre{};
    TextField description{};
    TextField contentType{};
    std::atomic<std::int32_t> port{0};
    std::atomic<std::int32_t> bitrate{0};
    std::atomic<std::int8_t> isPublic{0};
    std::atomic<std::int8_t> autoReconnect{0};
    std::atomic<std::int32_t> streaming{0};
    std::atomic<std::int32_t> sampleRate{0};
    std::atomic<std::int32_t> channels{0};
    std::atomic<std::int32_t> recordDevice{0};
    std::atomic<std::int32_t> hostVolume{0};
    std::atomic<std::int32_t> deviceVolumeSpeaking{0};
    std::atomic<std::int32_t> hostVolumeSpeaking{0};
    TextField icq{};
    TextField irc{};
    TextField aim{};
    std::atomic<std::int8_t> speaking{0};
    std::atomic<std::int8_t> speakHold{0};
    std::string lastTitle;  // window thread only
};

extern Larkspur station;  // the process-wide instance

constexpr const char* settingsFileName = "Larkspur_Settings.dat";
constexpr std::size_t settingsFileSize = 2584;
constexpr std::size_t olderSettingsFileSize = 1819;

int loadSettings(Larkspur* record);  // always 0
int saveSettings(Larkspur* record);  // 1 written, 0 the file could not be created
std::string hostFolder();            // folder of the running executable, with a trailing '/'
