// The station record's text rule and the settings file: layout, older and short files,
// and saves that must not lose the previous file.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "desktop/desktop.h"
#include "settings/larkspur.h"
#include "settings/settings_file.h"
#include "settings/text_part.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Each test runs in a fresh working folder: the file name is relative to it.
class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = fs::current_path();
        folder_ = fs::temp_directory_path() / ("larkspur-settings-" + std::to_string(std::random_device{}()));
        ASSERT_TRUE(fs::create_directory(folder_));
        fs::current_path(folder_);
    }
    void TearDown() override {
        fs::current_path(previous_);
        std::error_code ec;
        fs::permissions(folder_, fs::perms::owner_all, ec);
        fs::remove_all(folder_, ec);
    }

    static Bytes readFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    static void writeFile(const fs::path& path, const Bytes& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    fs::path previous_;
    fs::path folder_;
};

// A record whose every saved field holds a value of its own.
void fillDistinct(Larkspur& r) {
    storeText(r.server, "radio.example.org");
    storeText(r.password, "hackme");
    storeText(r.stationName, "Night Owl FM");
    storeText(r.url, "http://owl.example.org/");
    storeText(r.genre, "Jazz");
    storeText(r.description, "Late jazz");
    storeText(r.contentType, "application/ogg");
    r.port = 8000;
    r.bitrate = 128;
    r.isPublic = 1;
    r.autoReconnect = 1;
    r.hostVolume = 80;
    r.deviceVolumeSpeaking = 90;
    r.hostVolumeSpeaking = 20;
    r.sampleRate = 22050;
    r.channels = 2;
    r.recordDevice = 3;
    storeText(r.icq, "123456");
    storeText(r.irc, "#owl");
    storeText(r.aim, "owlaim");
}

// A record whose every saved field holds something no file above writes.
void fillSentinels(Larkspur& r) {
    for (TextField* t : {&r.server, &r.password, &r.stationName, &r.url, &r.genre, &r.description,
                         &r.contentType, &r.icq, &r.irc, &r.aim})
        storeText(*t, "untouched");
    r.port = r.bitrate = r.hostVolume = r.deviceVolumeSpeaking = r.hostVolumeSpeaking = -7;
    r.sampleRate = r.channels = r.recordDevice = -7;
    r.isPublic = 7;
    r.autoReconnect = 7;
}

std::int32_t int32At(const Bytes& b, std::size_t offset) {
    return static_cast<std::int32_t>(b[offset] | (b[offset + 1] << 8) | (b[offset + 2] << 16) |
                                     (static_cast<std::uint32_t>(b[offset + 3]) << 24));
}

std::string textAt(const Bytes& b, std::size_t offset) {
    std::string s(reinterpret_cast<const char*>(b.data()) + offset, 255);
    return s.substr(0, s.find('\0'));
}

}  // namespace

TEST(TextField, StoresAtMost255BytesZeroFilledAndReadsUpToTheFirstNul) {
    Larkspur r;
    storeText(r.server, std::string(300, 'x'));
    EXPECT_EQ(textOf(r.server), std::string(255, 'x'));

    storeText(r.server, std::string(255, 'y'));
    EXPECT_EQ(textOf(r.server), std::string(255, 'y'));  // no terminator, still 255 characters
    EXPECT_EQ(textOf(r.password), "");                    // the neighbour was not overrun

    storeText(r.server, "ab");
    EXPECT_EQ(textOf(r.server), "ab");
    for (std::size_t i = 2; i < textFieldSize; ++i) ASSERT_EQ(r.server[i], 0) << i;

    storeText(r.server, std::string("a\0b", 3));
    EXPECT_EQ(textOf(r.server), "a");
}

TEST_F(SettingsFile, SavesTheFourBlocksInTheirFileLayout) {
    Larkspur r;
    fillDistinct(r);
    storeText(r.url, "");
    ASSERT_EQ(saveSettings(&r), 1);

    const Bytes b = readFile(settingsFileName);
    ASSERT_EQ(b.size(), settingsFileSize);
    EXPECT_EQ(textAt(b, 0), "radio.example.org");
    EXPECT_EQ(textAt(b, 255), "hackme");
    EXPECT_EQ(textAt(b, 510), "Night Owl FM");
    EXPECT_EQ(Bytes(b.begin() + 765, b.begin() + 1020), Bytes(255, 0));  // an empty text: 255 NULs
    EXPECT_EQ(textAt(b, 1020), "Jazz");
    EXPECT_EQ(textAt(b, 1275), "Late jazz");
    EXPECT_EQ(textAt(b, 1530), "application/ogg");
    EXPECT_EQ(int32At(b, 1785), 8000);
    EXPECT_EQ(int32At(b, 1789), 128);
    EXPECT_EQ(b[1793], 1);
    EXPECT_EQ(b[1794], 1);
    // The levels come before the format in the file.
    EXPECT_EQ(int32At(b, 1795), 80);
    EXPECT_EQ(int32At(b, 1799), 90);
    EXPECT_EQ(int32At(b, 1803), 20);
    EXPECT_EQ(int32At(b, 1807), 22050);
    EXPECT_EQ(int32At(b, 1811), 2);
    EXPECT_EQ(int32At(b, 1815), 3);
    EXPECT_EQ(textAt(b, 1819), "123456");
    EXPECT_EQ(textAt(b, 2074), "#owl");
    EXPECT_EQ(textAt(b, 2329), "owlaim");

    r.port = -2;  // little-endian two's complement
    ASSERT_EQ(saveSettings(&r), 1);
    EXPECT_EQ(int32At(readFile(settingsFileName), 1785), -2);
}

// The same bytes on every platform: the Windows suite expects this file from the DLL.
TEST_F(SettingsFile, WritesTheSharedReferenceFileFromTheStationRecord) {
    Larkspur r;
    fillDistinct(r);
    r.recordDevice = 0;
    ASSERT_EQ(saveSettings(&r), 1);
    EXPECT_EQ(readFile(settingsFileName), readFile(LARKSPUR_STATION_SETTINGS));
}

TEST_F(SettingsFile, ReadsBackWhatItSaved) {
    Larkspur saved;
    fillDistinct(saved);
    storeText(saved.server, std::string(300, 's'));
    ASSERT_EQ(saveSettings(&saved), 1);

    Larkspur loaded;
    EXPECT_EQ(loadSettings(&loaded), 0);
    EXPECT_EQ(encodeSettings(loaded), encodeSettings(saved));
    EXPECT_EQ(textOf(loaded.server), std::string(255, 's'));
    EXPECT_EQ(loaded.autoReconnect.load(), 1);
    EXPECT_EQ(loaded.sampleRate, 22050);
    // Run-time state never travels through the file.
    EXPECT_EQ(loaded.hostStream.load(), 0u);
    EXPECT_EQ(loaded.streaming.load(), 0);
}

TEST_F(SettingsFile, NoFileAnEmptyFileOrAFolderLeaveTheRecordAsItWas) {
    Larkspur r, expected;
    fillSentinels(r);
    fillSentinels(expected);

    EXPECT_EQ(loadSettings(&r), 0);
    EXPECT_EQ(encodeSettings(r), encodeSettings(expected));

    writeFile(settingsFileName, {});
    EXPECT_EQ(loadSettings(&r), 0);
    EXPECT_EQ(encodeSettings(r), encodeSettings(expected));

    fs::remove(settingsFileName);
    fs::create_directory(settingsFileName);
    EXPECT_EQ(loadSettings(&r), 0);
    EXPECT_EQ(encodeSettings(r), encodeSettings(expected));
    // Saving over a folder fails quietly and leaves the folder.
    EXPECT_EQ(saveSettings(&r), 0);
    EXPECT_TRUE(fs::is_directory(settingsFileName));
}

TEST_F(SettingsFile, TheOlderFormWithoutContactsStillLoads) {
    Larkspur source;
    fillDistinct(source);
    Bytes b = encodeSettings(source);
    b.resize(olderSettingsFileSize);
    writeFile(settingsFileName, b);

    Larkspur r;  // contacts empty, as at start-up
    loadSettings(&r);
    EXPECT_EQ(textOf(r.server), "radio.example.org");
    EXPECT_EQ(r.recordDevice, 3);
    EXPECT_EQ(r.hostVolumeSpeaking, 20);
    EXPECT_EQ(textOf(r.icq), "");
    EXPECT_EQ(textOf(r.irc), "");
    EXPECT_EQ(textOf(r.aim), "");

    ASSERT_EQ(saveSettings(&r), 1);
    EXPECT_EQ(fs::file_size(settingsFileName), settingsFileSize);
}

TEST_F(SettingsFile, ValuesAreNotValidatedOnLoad) {
    Larkspur source;
    fillDistinct(source);
    source.sampleRate = 8000;
    source.channels = 1;
    writeFile(settingsFileName, encodeSettings(source));
    Larkspur r;
    loadSettings(&r);
    EXPECT_EQ(r.sampleRate, 8000);
    EXPECT_EQ(r.channels, 1);
}

// A file cut anywhere: every field it holds in full loads, every other keeps its value.
TEST_F(SettingsFile, AShortFileLeavesTheFieldsItDoesNotReachUnchanged) {
    Larkspur source;
    fillDistinct(source);
    const Bytes full = encodeSettings(source);
    Larkspur sentinels;
    fillSentinels(sentinels);
    const Bytes untouched = encodeSettings(sentinels);

    struct FieldSpan {
        std::size_t offset, size;
    };
    const std::vector<FieldSpan> fields{{0, 255},    {255, 255},  {510, 255},  {765, 255},  {1020, 255},
                                        {1275, 255}, {1530, 255}, {1785, 4},   {1789, 4},   {1793, 1},
                                        {1794, 1},   {1795, 4},   {1799, 4},   {1803, 4},   {1807, 4},
                                        {1811, 4},   {1815, 4},   {1819, 255}, {2074, 255}, {2329, 255}};
    for (std::size_t length : {1u, 254u, 255u, 1000u, 1787u, 1793u, 1795u, 1801u, 1807u, 1818u, 1820u, 2073u,
                               2074u, 2400u, 2583u}) {
        SCOPED_TRACE(length);
        writeFile(settingsFileName, Bytes(full.begin(), full.begin() + static_cast<long>(length)));
        Larkspur r;
        fillSentinels(r);
        loadSettings(&r);
        const Bytes got = encodeSettings(r);
        for (const FieldSpan& f : fields) {
            const Bytes& want = f.offset + f.size <= length ? full : untouched;
            EXPECT_TRUE(std::equal(got.begin() + static_cast<long>(f.offset),
                                   got.begin() + static_cast<long>(f.offset + f.size),
                                   want.begin() + static_cast<long>(f.offset)))
                << "field at " << f.offset;
        }
    }
}

TEST_F(SettingsFile, JunkAfterTheBlocksLosesNothingOfThem) {
    Larkspur source;
    fillDistinct(source);
    Bytes b = encodeSettings(source);
    b.resize(4000, 'z');
    writeFile(settingsFileName, b);
    Larkspur r;
    loadSettings(&r);
    EXPECT_EQ(encodeSettings(r), encodeSettings(source));  // the junk is one damaged line, left out
}

TEST_F(SettingsFile, TheFileIsOwnerOnlyAndReplacesTheOldOneWithoutLeftovers) {
    writeFile(settingsFileName, Bytes(5000, 'o'));
    fs::permissions(settingsFileName, fs::perms::all);
    Larkspur r;
    fillDistinct(r);
    ASSERT_EQ(saveSettings(&r), 1);

    EXPECT_EQ(fs::file_size(settingsFileName), settingsFileSize);
#if !defined(_WIN32)
    struct stat st {};
    ASSERT_EQ(stat(settingsFileName, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
    std::vector<fs::path> entries(fs::directory_iterator(folder_), {});
    EXPECT_EQ(entries.size(), 1u);
}

#if !defined(_WIN32)  // the failing saves are staged with POSIX processes and limits

// Runs `body` in a child process and returns its exit status (-1 when it did not exit).
template <typename Body>
int inChild(Body body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST_F(SettingsFile, AFolderItMayNotWriteKeepsTheOldFile) {
    Larkspur old;
    fillDistinct(old);
    ASSERT_EQ(saveSettings(&old), 1);
    const Bytes before = readFile(settingsFileName);

    const int result = inChild([] {
        // Root writes anywhere: become an ordinary user for this save.
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (!nobody || setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0) return 99;
        } else {
            chmod(".", 0500);
        }
        Larkspur r;
        storeText(r.server, "new");
        return saveSettings(&r);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(readFile(settingsFileName), before);
}

TEST_F(SettingsFile, AWriteThatFailsHalfwayReportsFailureAndKeepsTheOldFile) {
    Larkspur old;
    fillDistinct(old);
    ASSERT_EQ(saveSettings(&old), 1);
    const Bytes before = readFile(settingsFileName);

    const int result = inChild([] {
        // A file size limit makes the write stop short, as a full disk would.
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{1000, 1000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 99;
        Larkspur r;
        storeText(r.server, "new");
        return saveSettings(&r);
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(readFile(settingsFileName), before);
    std::vector<fs::path> entries(fs::directory_iterator(folder_), {});
    EXPECT_EQ(entries.size(), 1u);
}

#endif

TEST(HostFolder, IsTheExecutablesFolderWithItsSeparator) {
#if defined(_WIN32)
    const char separator = '\\';
#else
    const char separator = '/';
#endif
    ASSERT_TRUE(desktop::selectBackend("headless"));
    const std::string exe = desktop::executablePath();
    const std::string folder = hostFolder();
    ASSERT_FALSE(folder.empty());
    EXPECT_EQ(folder.back(), separator);
    EXPECT_EQ(exe.rfind(folder, 0), 0u);
    EXPECT_EQ(exe.find(separator, folder.size()), std::string::npos);
}

// ---- the text part ----

namespace {

Bytes withText(const Larkspur& r, const std::string& text) {
    Bytes b = encodeSettings(r);
    b.resize(settingsFileSize);
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

std::string textPartOf(const Bytes& file) {
    return file.size() > settingsFileSize ? std::string(file.begin() + settingsFileSize, file.end()) : std::string();
}

}  // namespace

TEST_F(SettingsFile, AHandWrittenTextPartLoadsAndIsWrittenBackWithItsUnknownKeys) {
    Larkspur source;
    fillDistinct(source);
    const std::string text =
        "record.split=60\r\n"                       // any order, Windows line ends
        "  output.3.server = https://dj@relay.example.org/high  \n"
        "output.3.enabled=1\n"
        "future.key=kept as it is\n"
        "# a note\n"
        "output.3.port=8443\n"
        "output.3.format=opus\n"
        "output.3.bitrate=+96\n"
        "output.3.password=p=w d\n"                // the first '=' ends the key
        "this line has no equals sign\n"
        "output.4.format=aac\n"                    // not a format
        "output.4.port=65536\n"
        "output.4.enabled=2\n"
        "record.bitrate=\n"
        "deadair.threshold=-60\n"
        "deadair.seconds=abc\n"
        "\n"
        "capture.device=alsa_input.usb-Mic-00.analog-stereo\n"
        "record.folder=/home/dj/Aufnahmen für später\n"
        "record.enabled=1\n"
        "output.3.bitrate=128";                    // the last one counts; no line end at the end
    writeFile(settingsFileName, withText(source, text));

    Larkspur r;
    loadSettings(&r);
    const Bytes loaded = encodeSettings(r), blocks = encodeSettings(source);
    EXPECT_TRUE(std::equal(blocks.begin(), blocks.end(), loaded.begin()));
    const TextSettings t = textSettingsOf(r);
    const OutputSettings& three = t.output(3);
    EXPECT_TRUE(three.enabled);
    EXPECT_EQ(three.server, "https://dj@relay.example.org/high");
    EXPECT_EQ(three.port, 8443);
    EXPECT_EQ(three.password, "p=w d");
    EXPECT_EQ(three.format, "opus");
    EXPECT_EQ(three.bitrate, 128);
    EXPECT_EQ(t.output(4), OutputSettings{});  // its damaged lines lost, the defaults stand
    EXPECT_EQ(t.output(2), OutputSettings{});
    EXPECT_TRUE(t.recording.enabled);
    EXPECT_EQ(t.recording.folder, "/home/dj/Aufnahmen für später");
    EXPECT_EQ(t.recording.format, "mp3");
    EXPECT_EQ(t.recording.bitrate, 128);
    EXPECT_EQ(t.recording.split, 60);
    EXPECT_EQ(t.deadAirThreshold, -60);
    EXPECT_EQ(t.deadAirSeconds, 15);
    EXPECT_EQ(t.captureDevice, "alsa_input.usb-Mic-00.analog-stereo");
    EXPECT_EQ(t.keptLines, (std::vector<std::string>{"future.key=kept as it is", "# a note"}));
    TextSettings again;
    EXPECT_EQ(decodeTextPart(again, text), 6);

    ASSERT_EQ(saveSettings(&r), 1);
    const std::string written = textPartOf(readFile(settingsFileName));
#if defined(_WIN32)
    const std::string eol = "\r\n";
#else
    const std::string eol = "\n";
#endif
    EXPECT_NE(written.find("output.3.server=https://dj@relay.example.org/high" + eol), std::string::npos) << written;
    EXPECT_NE(written.find("output.5.bitrate=128" + eol), std::string::npos) << written;
    EXPECT_NE(written.find("capture.device=alsa_input.usb-Mic-00.analog-stereo" + eol), std::string::npos);
    EXPECT_TRUE(written.ends_with("future.key=kept as it is" + eol + "# a note" + eol)) << written;
    EXPECT_EQ(written.find("aac"), std::string::npos);
    Larkspur reread;
    loadSettings(&reread);
    EXPECT_EQ(textSettingsOf(reread), t);
}

TEST_F(SettingsFile, TheOlderFormsGainATextPartOnlyWhenSomethingInItIsSet) {
    Larkspur source;
    fillDistinct(source);
    for (std::size_t size : {settingsFileSize, olderSettingsFileSize}) {
        SCOPED_TRACE(size);
        Bytes older = encodeSettings(source);
        ASSERT_EQ(older.size(), settingsFileSize);
        older.resize(size);
        writeFile(settingsFileName, older);
        Larkspur r;
        r.textPart.deadAirSeconds = 99;  // a missing key means the default, not what was there
        loadSettings(&r);
        EXPECT_EQ(textSettingsOf(r), TextSettings{});
        ASSERT_EQ(saveSettings(&r), 1);
        const Bytes unchanged = readFile(settingsFileName);
        EXPECT_EQ(unchanged.size(), settingsFileSize);

        TextSettings t = textSettingsOf(r);
        t.recording.enabled = true;
        storeTextSettings(r, t);
        ASSERT_EQ(saveSettings(&r), 1);
        const Bytes grown = readFile(settingsFileName);
        ASSERT_GT(grown.size(), settingsFileSize);
        EXPECT_TRUE(std::equal(unchanged.begin(), unchanged.end(), grown.begin()));  // what older versions read
        EXPECT_NE(textPartOf(grown).find("record.enabled=1"), std::string::npos);

        t.recording.enabled = false;  // nothing set any more: back to the older form
        storeTextSettings(r, t);
        ASSERT_EQ(saveSettings(&r), 1);
        EXPECT_EQ(readFile(settingsFileName), unchanged);
    }
}

TEST(TextPart, AValueCannotStartALineOfItsOwnAndEveryBoundHolds) {
    TextSettings t;
    t.output(2).server = "radio.example.org\r\noutput.5.enabled=1";
    t.output(2).password = std::string("se\0cret", 7);
    t.recording.folder = "  /srv/rec  ";
    const std::string text = encodeTextPart(t);
    TextSettings back;
    EXPECT_EQ(decodeTextPart(back, text), 0);
    EXPECT_FALSE(back.output(5).enabled);
    EXPECT_EQ(back.output(2).server, "radio.example.orgoutput.5.enabled=1");
    EXPECT_EQ(back.output(2).password, "secret");
    EXPECT_EQ(back.recording.folder, "/srv/rec");
    EXPECT_EQ(encodeTextPart(back), text);

    struct Case {
        const char* line;
        bool read;
    };
    for (const Case& c : {Case{"output.2.port=0", true}, Case{"output.2.port=65535", true},
                          Case{"output.2.port=-1", false}, Case{"output.2.port=99999999999", false},
                          Case{"output.2.port=80 ", true}, Case{"output.2.port=8o", false},
                          Case{"output.5.bitrate=0", false}, Case{"output.5.format=flac", true},
                          Case{"output.5.format=MP3", false}, Case{"output.2.enabled=1", true},
                          Case{"output.2.enabled=yes", false}, Case{"record.split=1440", true},
                          Case{"record.split=1441", false}, Case{"deadair.threshold=-120", true},
                          Case{"deadair.threshold=1", false}, Case{"deadair.seconds=0", true},
                          Case{"deadair.seconds=3601", false}, Case{"=value", false},
                          Case{"output.2.server=", true}}) {
        SCOPED_TRACE(c.line);
        TextSettings s;
        EXPECT_EQ(decodeTextPart(s, c.line), c.read ? 0 : 1);
        EXPECT_TRUE(s.keptLines.empty());
    }
}
