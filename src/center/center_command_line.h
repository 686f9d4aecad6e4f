// The command line of parlon-center:
//   parlon-center [--listen ADDRESS:PORT] [--hop-count N] [--poll-period MS] [--reply-time MS]
//                 [--register-period MS] [--switch-period MS] [--expire MS]
//                 [--request-deadline MS] [--store redis://HOST:PORT[/DB]]
//                 [--proxy-protocol ADDRESS[,ADDRESS...]]
//                 [--first-byte-deadline MS] [--max-entries N]
//                 [--max-per-address N] [--trust-announced-address] [--changes-per-minute N]
//                 [--max-held-reply-bytes N] [--max-connections N]
//                 [--max-connections-per-source N]
#pragma once

#include <optional>
#include <ostream>
#include <string_view>

#include "center/center_settings.h"
#include "center/redis_registry_store.h"
#include "common/wire_records.h"

namespace parlon {

struct CenterCommandLine {
    PeerAddress listen;  // where to listen; port 0 takes a free port
    CenterSettings settings;
    std::optional<StoreAddress> store;  // the shared registry; none: the list in memory
};

inline constexpr std::string_view kDefaultCenterListen = "127.0.0.1:7878";

// Reads the arguments. Returns nullopt when the program is to end at once, with `exitCode`
// set: after --help (0, the help written to `out`) or on a wrong argument (not 0, the reason
// written to `err`). --expire defaults to three register periods.
std::optional<CenterCommandLine> ParseCenterCommandLine(int argc, const char* const* argv,
                                                        std::ostream& out, std::ostream& err,
                                                        int& exitCode);

}  // namespace parlon
