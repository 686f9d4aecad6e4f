// KeepOutOfCoreDumps: marks this process not dumpable, so that a crash writes no core file and
// other processes of the same user cannot read its memory (ptrace, /proc/PID/mem). A parlon's
// memory holds its private key and the texts and masks of messages in flight.
#pragma once

namespace parlon {

// Call first thing in main(). False (and errno set) when the system refused.
bool KeepOutOfCoreDumps() noexcept;

}  // namespace parlon
