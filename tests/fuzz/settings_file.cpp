// The settings file as it comes from disk: any bytes of any length. Loading never crashes,
// fills exactly the fields the bytes reach in full and leaves the rest as they were; the
// window's normalisation brings the format into range; the text part after the blocks is
// written back without a line that could not be read again, and in the older form when it
// holds nothing; saving and loading again gives back the same record.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "desktop/desktop.h"
#include "fuzz_support.h"
#include "settings/larkspur.h"
#include "settings/settings_file.h"
#include "settings/text_part.h"
#include "ui/window_layout.h"

namespace {

using fuzz_support::check;

// Saved fields in file order: offset and size.
struct Span {
    std::size_t offset, size;
};
constexpr std::array<Span, 20> fields{{{0, 255},    {255, 255},  {510, 255},  {765, 255},  {1020, 255},
                                       {1275, 255}, {1530, 255}, {1785, 4},   {1789, 4},   {1793, 1},
                                       {1794, 1},   {1795, 4},   {1799, 4},   {1803, 4},   {1807, 4},
                                       {1811, 4},   {1815, 4},   {1819, 255}, {2074, 255}, {2329, 255}}};

// A record whose every saved field holds a recognisable value that no file could give by chance.
std::unique_ptr<Larkspur> sentinelRecord() {
    auto r = std::make_unique<Larkspur>();
    for (TextField* f : {&r->server, &r->password, &r->stationName, &r->url, &r->genre, &r->description,
                         &r->contentType, &r->icq, &r->irc, &r->aim})
        std::memset(*f, 0xA5, textFieldSize);
    r->port = r->bitrate = r->hostVolume = r->deviceVolumeSpeaking = r->hostVolumeSpeaking = r->sampleRate =
        r->channels = r->recordDevice = static_cast<std::int32_t>(0xA5A5A5A5u);
    r->isPublic = static_cast<std::int8_t>(0xA5);
    r->autoReconnect = static_cast<std::int8_t>(0xA5);
    return r;
}

void writeFile(const std::uint8_t* data, std::size_t size) {
    std::ofstream out(settingsFileName, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    check(out.good(), "could not write the settings file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::setUp();
    static bool windowBuilt = [] {
        Larkspur blank;
        buildWindow(&blank);
        return desktop::controlExists(26);
    }();
    check(windowBuilt, "the headless window was not built");
    fuzz_support::InPrivateFolder inFolder;

    writeFile(data, size);
    auto record = sentinelRecord();
    const std::vector<std::uint8_t> before = encodeSettings(*record);
    check(loadSettings(record.get()) == 0, "loadSettings returns 0");
    const std::vector<std::uint8_t> loaded = encodeSettings(*record);

    // Each field either holds the file's bytes (reached in full) or is untouched.
    for (const Span& f : fields) {
        const bool reached = f.offset + f.size <= size;
        const std::uint8_t* want = reached ? data + f.offset : before.data() + f.offset;
        check(std::memcmp(loaded.data() + f.offset, want, f.size) == 0, "field", std::to_string(f.offset));
    }

    // The window's normalisation: format fields in range, the rest as loaded.
    const std::int32_t device = record->recordDevice;
    check(showRecord(record.get()) == 1, "showRecord");
    const std::string type = textOf(record->contentType);
    check(type == "audio/mpeg" || type == "audio/aacp" || type == "application/ogg", "contentType", type);
    static const std::array<int, 14> bitrates{32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    check(std::find(bitrates.begin(), bitrates.end(), record->bitrate) != bitrates.end(), "bitrate");
    check(record->sampleRate == 44100 || record->sampleRate == 22050, "sampleRate");
    check(record->channels == 2, "channels");
    check(record->recordDevice == device, "recordDevice is never replaced");
    const std::vector<std::uint8_t> shown = encodeSettings(*record);
    for (std::size_t i = 0; i < 1530; ++i) check(shown[i] == loaded[i], "a station text changed");
    check(std::memcmp(shown.data() + 1819, loaded.data() + 1819, 765) == 0, "a contact changed");
    check(desktop::text(4) == std::to_string(record->port), "port shown");

    // The text part: what was kept goes back out, and what goes out reads back whole.
    const TextSettings text = textSettingsOf(*record);
    const std::string textPart = encodeTextPart(text);
    check(shown.size() == settingsFileSize + textPart.size(), "the text part follows the blocks");
    check(textPart.empty() == (text == TextSettings{}), "older form exactly when nothing is set");
    for (const std::string& line : text.keptLines)
        check(textPart.find(line) != std::string::npos, "a kept line was dropped", line);
    TextSettings reread;
    check(decodeTextPart(reread, textPart) == 0, "a written line does not read back");
    check(reread == text, "the text part does not read back the same");

    // Saved: the blocks and the text part, owner only, and read back to the same record.
    check(saveSettings(record.get()) == 1, "saveSettings");
    struct stat st {};
    check(::stat(settingsFileName, &st) == 0 && st.st_size == static_cast<off_t>(shown.size()), "saved size");
    check((st.st_mode & 0777) == 0600, "saved mode");
    auto again = sentinelRecord();
    loadSettings(again.get());
    check(encodeSettings(*again) == shown, "round trip");
    return 0;
}
