// A settings file of every length from 0 to 3000 bytes: loading never fails, fills exactly
// the fields the file reaches in full and leaves every other field as it was.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "fixtures.h"
#include "settings/larkspur.h"
#include "settings/settings_file.h"

namespace fs = std::filesystem;

namespace {

struct Span {
    std::size_t offset, size;
};
constexpr Span fields[] = {{0, 255},    {255, 255},  {510, 255},  {765, 255},  {1020, 255}, {1275, 255}, {1530, 255},
                           {1785, 4},   {1789, 4},   {1793, 1},   {1794, 1},   {1795, 4},   {1799, 4},   {1803, 4},
                           {1807, 4},   {1811, 4},   {1815, 4},   {1819, 255}, {2074, 255}, {2329, 255}};

std::unique_ptr<Larkspur> markedRecord() {
    auto r = std::make_unique<Larkspur>();
    for (TextField* f : {&r->server, &r->password, &r->stationName, &r->url, &r->genre, &r->description,
                         &r->contentType, &r->icq, &r->irc, &r->aim})
        std::memset(*f, 0x5A, textFieldSize);
    r->port = r->bitrate = r->hostVolume = r->deviceVolumeSpeaking = r->hostVolumeSpeaking = r->sampleRate =
        r->channels = r->recordDevice = 0x5A5A5A5A;
    r->isPublic = 0x5A;
    r->autoReconnect = 0x5A;
    return r;
}

TEST(SettingsFileLengths, EveryLengthLoadsWhatItReachesAndNothingElse) {
    const fs::path previous = fs::current_path();
    const std::string folder = fixtures::makeTempDir("larkspur-lengths");
    ASSERT_FALSE(folder.empty());
    fs::current_path(folder);
    std::vector<std::uint8_t> content(3000);
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<std::uint8_t>(i * 7 + 3);

    int mismatches = 0;
    for (std::size_t length = 0; length <= content.size() && mismatches < 5; ++length) {
        std::ofstream(settingsFileName, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(length));
        auto record = markedRecord();
        const auto before = encodeSettings(*record);
        ASSERT_EQ(loadSettings(record.get()), 0);
        const auto after = encodeSettings(*record);
        for (const Span& f : fields) {
            const bool reached = f.offset + f.size <= length;
            const std::uint8_t* want = reached ? content.data() + f.offset : before.data() + f.offset;
            if (std::memcmp(after.data() + f.offset, want, f.size) != 0) {
                ADD_FAILURE() << "length " << length << ": field at " << f.offset
                              << (reached ? " not loaded" : " changed though the file does not reach it");
                ++mismatches;
            }
        }
    }
    fs::current_path(previous);
    fs::remove_all(folder);
}

}  // namespace
