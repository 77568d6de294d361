// The station record, its text fields and the settings file.
#include "settings/larkspur.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "desktop/desktop.h"
#include "settings/settings_file.h"
#include "settings/text_part.h"

// Start-up writes it from another file's load-time initialiser, so it must be ready first.
#if defined(__clang__)
// clang cannot constant-initialise the std::string member: run this initialiser first instead.
__attribute__((init_priority(101))) Larkspur station;
#else
constinit Larkspur station;
#endif

std::mutex& textLock() {
    static std::mutex lock;
    return lock;
}

void storeText(TextField& field, std::string_view text) {
    const std::size_t n = std::min(text.size(), textFieldSize);
    std::lock_guard<std::mutex> guard(textLock());
    std::memcpy(field, text.data(), n);
    std::memset(field + n, 0, textFieldSize - n);
}

std::string textOf(const TextField& field) {
    std::lock_guard<std::mutex> guard(textLock());
    const char* end = static_cast<const char*>(std::memchr(field, 0, textFieldSize));
    return std::string(field, end ? static_cast<std::size_t>(end - field) : textFieldSize);
}

TextSettings textSettingsOf(const Larkspur& record) {
    std::lock_guard<std::mutex> guard(textLock());
    return record.textPart;
}

void storeTextSettings(Larkspur& record, const TextSettings& settings) {
    std::lock_guard<std::mutex> guard(textLock());
    record.textPart = settings;
}

namespace {

namespace fs = std::filesystem;

// File layout: block 1, then the levels (block 2), the format (block 3), the contacts (block 4).
constexpr std::size_t block4Offset = olderSettingsFileSize;

enum class Kind { Text, Int32, Flag };

struct Field {
    std::size_t offset;
    Kind kind;
    TextField Larkspur::*text;
    std::atomic<std::int32_t> Larkspur::*number;
    int flag;  // 0 isPublic, 1 autoReconnect
};

constexpr Field text(std::size_t offset, TextField Larkspur::*member) {
    return {offset, Kind::Text, member, nullptr, 0};
}
constexpr Field number(std::size_t offset, std::atomic<std::int32_t> Larkspur::*member) {
    return {offset, Kind::Int32, nullptr, member, 0};
}
constexpr Field flag(std::size_t offset, int which) { return {offset, Kind::Flag, nullptr, nullptr, which}; }

constexpr std::array<Field, 20> layout{{
    text(0, &Larkspur::server),
    text(255, &Larkspur::password),
    text(510, &Larkspur::stationName),
    text(765, &Larkspur::url),
    text(1020, &Larkspur::genre),
    text(1275, &Larkspur::description),
    text(1530, &Larkspur::contentType),
    number(1785, &Larkspur::port),
    number(1789, &Larkspur::bitrate),
    flag(1793, 0),
    flag(1794, 1),
    number(1795, &Larkspur::hostVolume),
    number(1799, &Larkspur::deviceVolumeSpeaking),
    number(1803, &Larkspur::hostVolumeSpeaking),
    number(1807, &Larkspur::sampleRate),
    number(1811, &Larkspur::channels),
    number(1815, &Larkspur::recordDevice),
    text(1819, &Larkspur::icq),
    text(2074, &Larkspur::irc),
    text(2329, &Larkspur::aim),
}};

std::size_t sizeOf(const Field& f) {
    switch (f.kind) {
        case Kind::Text: return textFieldSize;
        case Kind::Int32: return 4;
        case Kind::Flag: return 1;
    }
    return 0;
}

void putInt32(std::uint8_t* at, std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::int32_t getInt32(const std::uint8_t* at) {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    return static_cast<std::int32_t>(v);
}

}  // namespace

std::vector<std::uint8_t> encodeSettings(const Larkspur& record) {
    std::vector<std::uint8_t> bytes(settingsFileSize, 0);
    std::lock_guard<std::mutex> guard(textLock());
    for (const Field& f : layout) {
        std::uint8_t* at = bytes.data() + f.offset;
        switch (f.kind) {
            case Kind::Text: std::memcpy(at, record.*(f.text), textFieldSize); break;
            case Kind::Int32: putInt32(at, (record.*(f.number)).load()); break;
            case Kind::Flag:
                at[0] = static_cast<std::uint8_t>(f.flag == 0 ? record.isPublic.load() : record.autoReconnect.load());
                break;
        }
    }
    const std::string text = encodeTextPart(record.textPart);
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

void decodeSettings(Larkspur& record, const std::uint8_t* bytes, std::size_t length, bool withContacts) {
    std::lock_guard<std::mutex> guard(textLock());
    for (const Field& f : layout) {
        if (f.offset >= block4Offset && !withContacts) break;
        // A field the data does not reach in full keeps its value.
        if (f.offset + sizeOf(f) > length) break;
        const std::uint8_t* at = bytes + f.offset;
        switch (f.kind) {
            case Kind::Text: std::memcpy(record.*(f.text), at, textFieldSize); break;
            case Kind::Int32: (record.*(f.number)).store(getInt32(at)); break;
            case Kind::Flag:
                if (f.flag == 0)
                    record.isPublic = static_cast<std::int8_t>(at[0]);
                else
                    record.autoReconnect.store(static_cast<std::int8_t>(at[0]));
                break;
        }
    }
    // Whatever the file's form: a key it lacks means its default.
    std::string_view text;
    if (length > settingsFileSize)
        text = {reinterpret_cast<const char*>(bytes) + settingsFileSize, std::min(length - settingsFileSize, maxTextPartSize)};
    decodeTextPart(record.textPart, text);
}

int loadSettings(Larkspur* record) {
    if (record == nullptr) return 0;
    std::error_code ec;
    const fs::path path(settingsFileName);
    if (!fs::is_regular_file(path, ec) || ec) return 0;
    const auto size = fs::file_size(path, ec);
    if (ec || size == 0) return 0;

    std::ifstream in(path, std::ios::binary);
    if (!in) return 0;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::min<std::uintmax_t>(size, settingsFileSize + maxTextPartSize)));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    const auto got = static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0));
    // Only a file beyond the older 1819-byte form carries the contacts.
    decodeSettings(*record, bytes.data(), got, size > olderSettingsFileSize);
    return 0;
}

int saveSettings(Larkspur* record) {
    if (record == nullptr) return 0;
    const std::vector<std::uint8_t> bytes = encodeSettings(*record);
    const fs::path target(settingsFileName);
    // Written beside the target and renamed over it, so a failed write leaves the old file.
    const fs::path temp(std::string(settingsFileName) + ".new");
    std::error_code ec;
    fs::remove(temp, ec);
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) return 0;
        // It holds the source password: owner only.
        fs::permissions(temp, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, ec);
        if (ec) {
            out.close();
            fs::remove(temp, ec);
            return 0;
        }
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        out.flush();
        const bool written = out.good();
        out.close();
        if (!written || out.fail()) {
            fs::remove(temp, ec);
            return 0;
        }
    }
    fs::rename(temp, target, ec);
    if (ec) {
        fs::remove(temp, ec);
        return 0;
    }
    return 1;
}

std::string hostFolder() {
    const std::string path = desktop::executablePath();
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}
