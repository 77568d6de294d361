#include "audio/error_report.h"

#include <gtest/gtest.h>

#include <thread>

#include "fake_bass.h"
#include "test_station.h"

namespace {

TEST(ErrorReportText, TurnsEscapedLineBreaksIntoCrLfAndAppendsTheCodeInDecimal) {
    EXPECT_EQ(errorReportText("first\\nsecond", 20), "first\r\nsecond  Bass Error: 0x20");
    EXPECT_EQ(errorReportText("Couldn't create Mixer", 2100), "Couldn't create Mixer  Bass Error: 0x2100");
    EXPECT_EQ(errorReportText("odd", -1), "odd  Bass Error: 0x-1");
}

TEST(ErrorReportText, CodeZeroLeavesOnlyTheTwoSpaces) {
    EXPECT_EQ(errorReportText("No code", 0), "No code  ");
    EXPECT_EQ(errorReportText("", 0), "  ");
}

TEST(ErrorReportText, LoneBackslashesAndRealNewlinesStayAsTheyAre) {
    EXPECT_EQ(errorReportText("in \\Plugins\\Larkspur\\ \\n, or", 0), "in \\Plugins\\Larkspur\\ \r\n, or  ");
    EXPECT_EQ(errorReportText("end\\", 0), "end\\  ");
    EXPECT_EQ(errorReportText("a\nb", 0), "a\nb  ");
}

class ReportError : public ::testing::Test {
protected:
    void SetUp() override {
        test_station::openWindow();
        fake_bass::reset();
        showErrors = 1;
    }
    void TearDown() override { showErrors = 1; }
};

TEST_F(ReportError, ShowsTheBoxWithTheCallingThreadsLastCode) {
    fake_bass::fail("BASS_RecordInit", BASS_ERROR_DEVICE);
    BASS_RecordInit(0);
    // Another thread's success must not clear this thread's code.
    std::thread([] { BASS_Free(); }).join();
    // The host's window is known, but another program's window is in front: no owner.
    hostWindow = 0x5a5a;
    reportError("Can't Init the Recorddevice");
    auto boxes = desktop::headless::boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].title, "Larkspur - Error");
    EXPECT_EQ(boxes[0].text, "Can't Init the Recorddevice  Bass Error: 0x23");
    EXPECT_EQ(boxes[0].owner, 0u);
    desktop::headless::setForegroundWindow(0x4001);  // now one of this process is
    reportError("again");
    EXPECT_EQ(desktop::headless::boxes().at(1).owner, 0x4001u);
    hostWindow = 0;
}

TEST_F(ReportError, AfterASuccessTheCodeIsZero) {
    BASS_Free();
    reportError("Nothing wrong");
    ASSERT_EQ(desktop::headless::boxes().size(), 1u);
    EXPECT_EQ(desktop::headless::boxes()[0].text, "Nothing wrong  ");
}

TEST_F(ReportError, ShowsNothingWhileErrorsAreOff) {
    showErrors = 0;
    reportError("hidden");
    EXPECT_TRUE(desktop::headless::boxes().empty());
}

}  // namespace
