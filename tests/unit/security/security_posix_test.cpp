// No station text reaches a shell or adds an encoder argument, a quoted host folder starts
// nothing, and the settings file is readable by its owner only: file modes, shell scripts,
// fork and exec, so POSIX only.
#include "security_fixture.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "process.h"

using namespace security;

namespace {

TEST_F(Security, SettingsFileIsForItsOwnerOnly) {
    const fs::path previous = fs::current_path();
    const fs::path folder = fs::temp_directory_path() / ("larkspur-mode-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    fs::current_path(folder);
    std::ofstream(settingsFileName) << "an older, world-readable file";
    fs::permissions(settingsFileName, fs::perms(0644));
    const mode_t umaskBefore = ::umask(0);  // whatever the host's umask allows
    EXPECT_EQ(saveSettings(&station), 1);
    ::umask(umaskBefore);
    struct stat st {};
    ASSERT_EQ(::stat(settingsFileName, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_NE(readFile(settingsFileName).find(secret), std::string::npos);
    fs::current_path(previous);
    fs::remove_all(folder);
}

// The encoder is started without a shell: a host folder full of shell syntax is one argument,
// and nothing in it runs.
TEST_F(Security, NoTextReachesAShell) {
    const fs::path base = fs::temp_directory_path() / ("larkspur-shell-" + std::to_string(::getpid()));
    const std::string folder = (base / "my player; touch pwned; $(touch pwned2) `touch pwned3` & |").string() + "/";
    fs::create_directories(folder + "Plugins/Larkspur");
    const std::string argsFile = (base / "args").string();
    {
        std::ofstream script(folder + "Plugins/Larkspur/lame");
        script << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" << argsFile << "'\n";
    }
    fs::permissions(folder + "Plugins/Larkspur/lame", fs::perms(0755));
    storeText(station.stationName, "Name; touch pwned4");

    const auto args = bassx::splitCommandLine(encoderCommandLine(station, folder));
    ASSERT_FALSE(args.empty());
    EXPECT_EQ(args[0], folder + "Plugins/Larkspur/lame");
    EXPECT_EQ(args, (std::vector<std::string>{folder + "Plugins/Larkspur/lame", "-r", "-s", "44100", "-b", "128", "-"}));
    {
        bassx::Process process;
        ASSERT_EQ(process.start(args), 0);
        process.end(2000);
    }
    EXPECT_EQ(readFile(argsFile), "-r\n-s\n44100\n-b\n128\n-\n");
    const fs::path cwd = fs::current_path();
    for (const char* name : {"pwned", "pwned2", "pwned3", "pwned4"}) {
        EXPECT_FALSE(fs::exists(cwd / name)) << name;
        EXPECT_FALSE(fs::exists(base / name)) << name;
    }
    fs::remove_all(base);
}

// A host folder holding a double quote cannot be written into the command line: the encoder
// is refused instead of starting whatever program the split would name. The folder is the
// executable's own, so a copy of this binary runs the check from such a folder.
TEST_F(Security, HostFolderWithAQuoteStartsNoProgram) {
    const fs::path folder = fs::temp_directory_path() / ("larkspur-quote-" + std::to_string(::getpid())) /
                            "a\" -b 1 \"x";
    fs::create_directories(folder);
    const fs::path copy = folder / "security_unit_tests";
    fs::copy_file("/proc/self/exe", copy);
    fs::permissions(copy, fs::perms(0755));
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("LARKSPUR_QUOTED_FOLDER", "1", 1);
        ::execl(copy.c_str(), copy.c_str(), "--gtest_also_run_disabled_tests",
                "--gtest_filter=Security.DISABLED_InAQuotedFolder", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the check in the quoted folder failed";
    fs::remove_all(folder.parent_path());
}

TEST_F(Security, DISABLED_InAQuotedFolder) {
    ASSERT_NE(std::getenv("LARKSPUR_QUOTED_FOLDER"), nullptr);
    ASSERT_NE(hostFolder().find('"'), std::string::npos) << hostFolder();
    EXPECT_EQ(startEncoder(&station), 0);
    EXPECT_EQ(fake_bass::count("BASS_Encode_Start"), 0u);
    const auto boxes = desktop::headless::boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.rfind("Couldn't start encoding...", 0), 0u) << boxes[0].text;
}

}  // namespace
