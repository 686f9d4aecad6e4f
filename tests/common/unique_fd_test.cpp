#include "common/unique_fd.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>

namespace parlon {
namespace {

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

std::array<int, 2> MakePipe() {
    std::array<int, 2> ends{-1, -1};
    EXPECT_EQ(::pipe2(ends.data(), O_CLOEXEC), 0);
    return ends;
}

// Each descriptor is closed exactly once: by its last owner, when it goes or takes another.
TEST(UniqueFd, TheLastOwnerClosesOnDestructionOrReplacementAndAMoveLeavesNone) {
    const auto [first, second] = MakePipe();
    {
        UniqueFd owner(first);
        UniqueFd moved(std::move(owner));
        EXPECT_FALSE(owner.IsOpen());  // NOLINT(bugprone-use-after-move): defined as none
        EXPECT_EQ(moved.Get(), first);
        UniqueFd assigned;
        assigned = std::move(moved);
        UniqueFd& same = assigned;
        assigned = std::move(same);  // a move onto itself keeps the descriptor open
        EXPECT_TRUE(IsOpen(first));

        assigned.Reset(second);
        EXPECT_FALSE(IsOpen(first));
        EXPECT_TRUE(IsOpen(second));
        UniqueFd other;
        other = std::move(assigned);
        EXPECT_TRUE(IsOpen(second));
    }
    EXPECT_FALSE(IsOpen(second));
}

}  // namespace
}  // namespace parlon
