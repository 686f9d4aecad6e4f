#include "common/core_dumps.h"

#include <sys/prctl.h>

namespace parlon {

bool KeepOutOfCoreDumps() noexcept {
    return ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

}  // namespace parlon
