// Starting programs under test as child processes that die with the test program: a crashed
// test program must not leave children holding ctest's output pipe open until its timeout.
//
// THREAD SAFETY: the kernel ties a child's fate to the thread that forked it; start children
// on a thread that lives as long as they should (the test's main thread).
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace parlon::test {

// Called in a child between fork and exec: the kernel kills it when `parent` ends, and it ends
// at once if `parent` is already gone. Async-signal-safe.
void DieWithParent(pid_t parent) noexcept;

// A child's standard input, output and error; -1 keeps the test program's own.
struct ChildStreams {
    int input = -1;
    int output = -1;
    int error = -1;
};

// Starts `argv` (argv[0] a path, or a name looked up in PATH) in `dir` with `streams`; the
// caller reaps it. Throws std::runtime_error when it cannot fork; a program that cannot be run
// ends with status 127.
pid_t StartChildProcess(std::vector<std::string> argv, const std::filesystem::path& dir,
                        const ChildStreams& streams);

}  // namespace parlon::test
