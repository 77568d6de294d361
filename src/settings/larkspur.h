// The one station record: the settings the user edits, the handles of the audio graph and
// the connection while they exist, and the run-time flags.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

constexpr std::size_t textFieldSize = 255;
using TextField = char[textFieldSize];

// Text fields hold at most 255 bytes, zero-filled; a 255-byte text has no terminator.
// Writers on the window thread and readers on a reconnect thread meet on textLock().
std::mutex& textLock();
void storeText(TextField& field, std::string_view text);  // takes textLock()
std::string textOf(const TextField& field);               // takes textLock()

// A server output beyond the first (which is the station's own server fields).
struct OutputSettings {
    bool enabled = false;
    std::string server;
    std::int32_t port = 0;
    std::string password;
    std::string format = "mp3";  // mp3, vorbis, opus or flac
    std::int32_t bitrate = 128;  // kb/s

    bool operator==(const OutputSettings&) const = default;
};

struct RecordingSettings {
    bool enabled = false;
    std::string folder;  // empty: the player's working folder
    std::string format = "mp3";
    std::int32_t bitrate = 128;
    std::int32_t split = 0;  // minutes; 0: one file per connection

    bool operator==(const RecordingSettings&) const = default;
};

constexpr int firstExtraOutput = 2;
constexpr int lastOutput = 5;

// The settings kept in the file's text part, after the four binary blocks.
struct TextSettings {
    std::array<OutputSettings, lastOutput - firstExtraOutput + 1> outputs{};  // output n at [n - 2]
    RecordingSettings recording;
    std::int32_t deadAirThreshold = -50;  // dBFS
    std::int32_t deadAirSeconds = 15;     // 0: no warning
    std::string captureDevice;            // the capture device's stable name; empty: none chosen
    std::vector<std::string> keptLines;   // lines of keys we do not know, written back as they were

    OutputSettings& output(int n) { return outputs[static_cast<std::size_t>(n - firstExtraOutput)]; }
    const OutputSettings& output(int n) const { return outputs[static_cast<std::size_t>(n - firstExtraOutput)]; }
    bool operator==(const TextSettings&) const = default;
};

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
    TextSettings textPart;  // under textLock(): copy it with textSettingsOf()
};

// The text part is read on connect's thread while the window thread may change it.
TextSettings textSettingsOf(const Larkspur& record);                   // takes textLock()
void storeTextSettings(Larkspur& record, const TextSettings& settings);  // takes textLock()

extern Larkspur station;  // the process-wide instance

constexpr const char* settingsFileName = "Larkspur_Settings.dat";
constexpr std::size_t settingsFileSize = 2584;  // the four blocks; the text part follows
constexpr std::size_t olderSettingsFileSize = 1819;

int loadSettings(Larkspur* record);  // always 0
int saveSettings(Larkspur* record);  // 1 written, 0 the file could not be created
std::string hostFolder();            // folder of the running executable, with a trailing '/'
