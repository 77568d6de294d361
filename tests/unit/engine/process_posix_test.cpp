// Encoder processes on POSIX: exec without a shell, pipes, reaping, what the child inherits.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "../../support/open_fds.h"
#include "bass.h"
#include "encoder.h"
#include "handles.h"
#include "lifetime.h"
#include "process.h"

using namespace bassx;
using namespace std::chrono_literals;

TEST(Process, ProgramThatCannotStartFailsAtOnce) {
    Process p;
    EXPECT_EQ(p.start({"/nonexistent/larkspur-encoder", "-"}), BASS_ERROR_FILEOPEN);
    EXPECT_EQ(p.start({"no-such-program-anywhere-larkspur"}), BASS_ERROR_FILEOPEN);
    EXPECT_EQ(p.start({"/etc/hostname"}), BASS_ERROR_FILEOPEN);  // not a program
    // Runnable, but no format exec knows: refused by exec itself, and no shell is tried.
    char path[] = "/tmp/larkspur-noexec-XXXXXX";
    ::close(::mkstemp(path));
    std::ofstream(path) << "echo started by a shell\n";
    ::chmod(path, 0755);
    EXPECT_EQ(p.start({path}), BASS_ERROR_FILEOPEN);
    ::unlink(path);
    EXPECT_EQ(p.start({}), BASS_ERROR_ILLPARAM);
}

TEST(Process, PipesCarryDataAndEndingReapsWithoutLeaks) {
    int before = openFds();
    {
        Process p;
        ASSERT_EQ(p.start({"cat"}), BASS_OK);
        ASSERT_EQ(::write(p.stdinFd(), "hello", 5), 5);
        p.closeStdin();
        char buf[16];
        ssize_t n = ::read(p.stdoutFd(), buf, sizeof buf);
        ASSERT_EQ(n, 5);
        EXPECT_TRUE(p.reap(2000));
    }
    {
        // Ignores its closed input: killed after the grace period, and reaped.
        Process p;
        ASSERT_EQ(p.start({"sleep", "30"}), BASS_OK);
        pid_t pid = p.pid();
        auto t0 = std::chrono::steady_clock::now();
        p.end(200);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
        EXPECT_NE(::kill(pid, 0), 0);  // gone, not a zombie
    }
    EXPECT_EQ(openFds(), before);
}

TEST(Process, ChildSeesOnlyItsThreeStandardDescriptors) {
    int leaky = ::open("/dev/null", O_RDONLY);  // opened without close-on-exec by someone else
    Process p;
    ASSERT_EQ(p.start({"sh", "-c", "ls /proc/self/fd | wc -l"}), BASS_OK);
    p.closeStdin();
    char buf[16] = {};
    ASSERT_GT(::read(p.stdoutFd(), buf, sizeof buf - 1), 0);
    EXPECT_EQ(std::atoi(buf), 4);  // 0, 1, 2 and the one ls is reading
    ::close(leaky);
}

TEST(Process, ChildStartsWithDefaultSignalsWhateverTheHostSet) {
    struct sigaction ignore {}, oldHup {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGHUP, &ignore, &oldHup);
    sigset_t usr1, oldMask;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &usr1, &oldMask);
    std::string status;
    {
        Process p;
        int rc = p.start({"cat", "/proc/self/status"});
        ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
        ::sigaction(SIGHUP, &oldHup, nullptr);
        ASSERT_EQ(rc, BASS_OK);
        char buf[4096];
        for (ssize_t n; (n = ::read(p.stdoutFd(), buf, sizeof buf)) > 0;) status.append(buf, static_cast<size_t>(n));
    }
    auto mask = [&](const char* name) {
        size_t at = status.find(name);
        return at == std::string::npos ? ~0ull : std::stoull(status.substr(at + std::strlen(name)), nullptr, 16);
    };
    EXPECT_EQ(mask("SigBlk:"), 0u) << status;
    // Signals 32 and 33 belong to the C library, whose spawn leaves them ignored.
    EXPECT_EQ(mask("SigIgn:") & ~0x180000000ull, 0u) << status;
}

TEST(Process, StandardInputAndOutputAreRightWhenTheHostClosedItsOwn) {
    // Nothing may print while the test process has no stdout of its own.
    const int in = ::dup(0), out = ::dup(1);
    ::close(0);
    ::close(1);
    int rc;
    std::string echoed;
    {
        Process p;
        rc = p.start({"cat"});
        if (rc == BASS_OK && ::write(p.stdinFd(), "on the air", 10) == 10) {
            p.closeStdin();
            char buf[32];
            ssize_t n = ::read(p.stdoutFd(), buf, sizeof buf);
            if (n > 0) echoed.assign(buf, static_cast<size_t>(n));
        }
    }
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::close(in);
    ::close(out);
    EXPECT_EQ(rc, BASS_OK);
    EXPECT_EQ(echoed, "on the air");
}

// Programs that ignore the end of their input are killed when their grace time is out. The
// encoders of one mixer are ended together: every program has its input closed before the
// first of them runs out of time, so a stop costs one grace time, not one per encoder.
TEST(Process, EncodersOfOneMixerAreEndedTogether) {
    Registry& reg = Registry::instance();
    auto mixer = std::make_shared<Mixer>(44100, 2, BASS_STREAM_AUTOFREE | BASS_MIXER_NONSTOP);
    const DWORD handle = reg.add(mixer);
    ASSERT_NE(handle, 0u);
    std::vector<std::shared_ptr<Encoder>> encoders;
    for (int i = 0; i < 4; ++i) {
        auto enc = std::make_shared<Encoder>(44100, 2, nullptr, nullptr);
        ASSERT_NE(reg.add(enc), 0u);
        ASSERT_EQ(enc->start("sh -c \"cat >/dev/null; exec sleep 30\"", false, handle), BASS_OK);
        ASSERT_EQ(lifetime::addEncoder(mixer, enc), BASS_OK);
        enc->releaseOutput();
        encoders.push_back(enc);
    }
    std::vector<int16_t> block(882 * 2, 1000);
    mixer->render(block.data(), 882);  // each program has had some input
    ASSERT_TRUE(lifetime::freeMixer(handle));

    int64_t lastClosed = 0, firstKilled = INT64_MAX;
    for (auto& enc : encoders) {
        const Process& p = enc->process();
        ASSERT_NE(p.inputClosedAt(), 0);
        ASSERT_NE(p.killedAt(), 0) << "the program ignored the end of its input";
        lastClosed = std::max(lastClosed, p.inputClosedAt());
        firstKilled = std::min(firstKilled, p.killedAt());
    }
    EXPECT_LT(lastClosed, firstKilled);
}
