#include "support/child_process.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <stdexcept>

namespace parlon::test {

void DieWithParent(pid_t parent) noexcept {
    // The parent may have ended before the request was made; then nobody would send the signal.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) {
        ::_exit(127);
    }
}

pid_t StartChildProcess(std::vector<std::string> argv, const std::filesystem::path& dir,
                        const ChildStreams& streams) {
    std::vector<char*> args(argv.size() + 1);  // ending in a null pointer
    std::ranges::transform(argv, args.begin(), [](std::string& arg) { return arg.data(); });
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("cannot start " + argv.at(0));
    }
    if (pid == 0) {  // only calls that are safe after fork from here to exec
        DieWithParent(parent);
        const auto redirect = [](int from, int to) { return from < 0 || ::dup2(from, to) == to; };
        if (redirect(streams.input, STDIN_FILENO) && redirect(streams.output, STDOUT_FILENO) &&
            redirect(streams.error, STDERR_FILENO) && ::chdir(dir.c_str()) == 0) {
            ::execvp(args[0], args.data());
        }
        ::_exit(127);
    }
    return pid;
}

}  // namespace parlon::test
