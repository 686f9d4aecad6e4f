#include "cli/line_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace parlon {
namespace {

using namespace std::chrono_literals;

// A pipe whose read end the reader reads; the test writes and closes the other end.
class LineReaderTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(::pipe(ends_), 0); }
    void TearDown() override {
        CloseWriteEnd();
        ::close(ends_[0]);
    }

    void Write(std::string_view bytes) {
        ASSERT_EQ(::write(ends_[1], bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }
    void CloseWriteEnd() {
        if (ends_[1] >= 0) {
            ::close(ends_[1]);
            ends_[1] = -1;
        }
    }

    LineReader::LineHandler Collect() {
        return [this](std::string line) {
            const std::lock_guard lock(mutex_);
            lines_.push_back(std::move(line));
            arrived_.notify_all();
        };
    }
    // The lines handed over, once there are `count` of them (or what there is after 5 s).
    std::vector<std::string> Lines(size_t count) {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, 5s, [&] { return lines_.size() >= count; });
        return lines_;
    }

    int ends_[2] = {-1, -1};
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> lines_;
};

TEST_F(LineReaderTest, LinesAreHandedOverWithoutTheirLineFeedInOrder) {
    LineReader reader(ends_[0], 100, Collect());
    Write("send 0 hi\nlist\n\nreply 3 x\r\n");
    EXPECT_EQ(Lines(4), (std::vector<std::string>{"send 0 hi", "list", "", "reply 3 x\r"}));
}

TEST_F(LineReaderTest, ALineSplitAcrossWritesIsOneLine) {
    LineReader reader(ends_[0], 100, Collect());
    Write("sen");
    Write("d 1 ");
    Write("hello\nqu");
    Write("it\n");
    EXPECT_EQ(Lines(2), (std::vector<std::string>{"send 1 hello", "quit"}));
}

TEST_F(LineReaderTest, TheLastUnfinishedLineCountsAtTheEndOfInput) {
    LineReader reader(ends_[0], 100, Collect());
    Write("list\nquit");
    CloseWriteEnd();
    EXPECT_EQ(Lines(2), (std::vector<std::string>{"list", "quit"}));
}

TEST_F(LineReaderTest, EndOfInputEndsTheReaderQuietly) {
    LineReader reader(ends_[0], 100, Collect());
    CloseWriteEnd();
    reader.Stop();
    EXPECT_TRUE(Lines(0).empty());
}

TEST_F(LineReaderTest, ALongLineIsCutOneByteBeyondTheLimitAndTheNextLineIsWhole) {
    LineReader reader(ends_[0], 8, Collect());
    Write("12345678\n123456789\n" + std::string(10000, 'x') + "\nlist\n");
    EXPECT_EQ(Lines(4), (std::vector<std::string>{"12345678", "123456789", "xxxxxxxxx", "list"}));
}

TEST_F(LineReaderTest, StopEndsAReaderThatWaitsForInput) {
    LineReader reader(ends_[0], 100, Collect());
    Write("list\n");
    Lines(1);
    reader.Stop();  // returns although the write end is still open
    reader.Stop();
    Write("quit\n");  // the reader has ended: nobody reads this
    EXPECT_EQ(Lines(1), (std::vector<std::string>{"list"}));
}

}  // namespace
}  // namespace parlon
