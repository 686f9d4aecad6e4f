#include "common/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace parlon {
namespace {

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

// Each descriptor is closed exactly once: by its last owner, when it goes or takes another.
TEST(UniqueFd, TheLastOwnerClosesOnDestructionOrReplacementAndAMoveLeavesNone) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    {
        UniqueFd owner(ends[0]);
        UniqueFd moved(std::move(owner));
        EXPECT_FALSE(owner.IsOpen());  // NOLINT(bugprone-use-after-move): defined as none
        UniqueFd& same = moved;
        moved = std::move(same);  // a move onto itself keeps the descriptor open
        EXPECT_TRUE(IsOpen(ends[0]));

        moved.Reset(ends[1]);
        EXPECT_FALSE(IsOpen(ends[0]));
        UniqueFd other;
        other = std::move(moved);
        EXPECT_TRUE(IsOpen(ends[1]));
    }
    EXPECT_FALSE(IsOpen(ends[1]));
}

}  // namespace
}  // namespace parlon
