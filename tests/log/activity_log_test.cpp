#include "log/activity_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <system_error>

#include "support/temp_dir.h"

namespace parlon {
namespace {

// 12:46:32 UTC on Saturday 5 December 2026.
constexpr std::time_t kSaturdayFifth = 1796474792;

class ActivityLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    static ActivityLog::Clock FixedClock() {
        return [] { return kSaturdayFifth; };
    }
    testing::TempDir dir_;
};

TEST_F(ActivityLogTest, TimeStampHasTwoDigitDayAndEnglishNames) {
    EXPECT_EQ(ActivityLog::TimeStamp(kSaturdayFifth), "<Sat Dec 05 12:46:32 2026> ");
    EXPECT_EQ(ActivityLog::TimeStamp(0), "<Thu Jan 01 00:00:00 1970> ");
}

TEST_F(ActivityLogTest, LinesAreStampTextAndOneLineFeedWrittenUnchanged) {
    {
        ActivityLog log(dir_.Path() / "Activity.log", FixedClock());
        log.Append("100% Nick: ***** Application started!!! *****");
        log.Append("Nick: two\nlines");
        log.Append("");
    }
    EXPECT_EQ(dir_.Read("Activity.log"),
              "<Sat Dec 05 12:46:32 2026> 100% Nick: ***** Application started!!! *****\n"
              "<Sat Dec 05 12:46:32 2026> Nick: two\nlines\n"
              "<Sat Dec 05 12:46:32 2026> \n");
}

TEST_F(ActivityLogTest, AnExistingFileKeepsItsLinesAndTwoWritersBothAppend) {
    dir_.Write("Activity.log", "old line\n");
    ActivityLog first(dir_.Path() / "Activity.log", FixedClock());
    ActivityLog second(dir_.Path() / "Activity.log", FixedClock());
    first.Append("A: one");
    second.Append("B: one");
    first.Append("A: two");
    EXPECT_EQ(dir_.Read("Activity.log"),
              "old line\n"
              "<Sat Dec 05 12:46:32 2026> A: one\n"
              "<Sat Dec 05 12:46:32 2026> B: one\n"
              "<Sat Dec 05 12:46:32 2026> A: two\n");
}

TEST_F(ActivityLogTest, AFileThatCannotBeOpenedIsReportedWithItsNameAndReason) {
    const auto path = dir_.Path() / "missing-dir" / "Activity.log";
    try {
        ActivityLog log(path);
        FAIL() << "opening a log in a missing directory succeeded";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ENOENT);
        EXPECT_NE(std::string(error.what()).find(path.string()), std::string::npos) << error.what();
    }
}

TEST_F(ActivityLogTest, AFailingWriteIsReported) {
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "/dev/full is not available";
    }
    ActivityLog log("/dev/full", FixedClock());
    EXPECT_THROW(log.Append("Nick: lost"), std::system_error);
}

}  // namespace
}  // namespace parlon
