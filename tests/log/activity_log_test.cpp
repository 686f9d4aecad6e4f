#include "log/activity_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <system_error>
#include <tuple>

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
    test::TempDir dir_;
    const std::filesystem::path path_ = dir_.Path() / "Activity.log";
    const ActivityLog::Clock fixedClock_ = [] { return kSaturdayFifth; };
};

// Both writers append to the existing log, which keeps its mode; a new log is the owner's alone.
TEST_F(ActivityLogTest, LinesAreStampTextAndOneLineFeedAppendedByEveryWriter) {
    const auto modeOf = [](const std::filesystem::path& path) {
        struct stat status {};
        ::stat(path.c_str(), &status);
        return status.st_mode & 07777;
    };
    ::chmod(dir_.Write("Activity.log", "old line\n").c_str(), 0640);
    ActivityLog first(path_, fixedClock_);
    ActivityLog second(path_, fixedClock_);
    first.Append("100% Nick: ***** Application started!!! *****");
    second.Append("Nick: two\nlines");
    first.Append("");
    EXPECT_EQ(dir_.Read("Activity.log"),
              "old line\n"
              "<Sat Dec 05 12:46:32 2026> 100% Nick: ***** Application started!!! *****\n"
              "<Sat Dec 05 12:46:32 2026> Nick: two\nlines\n"
              "<Sat Dec 05 12:46:32 2026> \n");
    EXPECT_EQ(modeOf(path_), 0640u);
    const mode_t oldMask = ::umask(0);  // whatever the umask, a new log is 0600
    { ActivityLog created(dir_.Path() / "New.log", fixedClock_); }
    ::umask(oldMask);
    EXPECT_EQ(modeOf(dir_.Path() / "New.log"), 0600u);
}

// A link in the log's place is refused; a log that cannot be opened or written is reported.
TEST_F(ActivityLogTest, ALinkIsRefusedAndAFileThatCannotBeOpenedOrWrittenIsReported) {
    const auto link = dir_.Path() / "Linked.log";
    std::filesystem::create_symlink(dir_.Write("Target.log", "old line\n"), link);
    const auto missing = dir_.Path() / "missing-dir" / "Activity.log";
    const std::tuple<std::filesystem::path, int, std::string> refused[] = {
        {link, ELOOP, " (a symbolic link, which is not followed)"}, {missing, ENOENT, ""}};
    for (const auto& [path, code, why] : refused) {
        try {
            ActivityLog log(path, fixedClock_);
            ADD_FAILURE() << path << " was opened";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code().value(), code);
            EXPECT_EQ(std::string(error.what()), "cannot open activity log \"" + path.string() +
                                                     "\"" + why + ": " + std::strerror(code));
        }
    }
    EXPECT_EQ(dir_.Read("Target.log"), "old line\n");
    if (::access("/dev/full", W_OK) == 0) {
        ActivityLog full("/dev/full", fixedClock_);
        EXPECT_THROW(full.Append("Nick: lost"), std::system_error);
    }
}

}  // namespace
}  // namespace parlon
