#include "center/center_command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "common/address_text.h"
#include "crypto/message_format.h"

namespace parlon {

namespace {

// Most options are periods, deadlines or counts, which must be above 0; an error names the
// range of the option's own type.
template <typename Number>
CLI::Option* AddPositive(CLI::App& app, const std::string& name, Number& value,
                         const std::string& description) {
    return app.add_option(name, value, description)
        ->check(CLI::Range(Number{1}, std::numeric_limits<Number>::max()).description("POSITIVE"));
}

// Accepts a text that `parse` reads; otherwise says what was expected.
template <typename Parse>
CLI::Validator ReadableBy(Parse parse, const std::string& expected, const std::string& form) {
    return CLI::Validator(
        [parse, expected](std::string& text) { return parse(text) ? std::string() : expected; },
        form);
}

}  // namespace

std::optional<CenterCommandLine> ParseCenterCommandLine(int argc, const char* const* argv,
                                                        std::ostream& out, std::ostream& err,
                                                        int& exitCode) {
    CenterCommandLine commandLine;
    CenterSettings& settings = commandLine.settings;
    std::string listen(kDefaultCenterListen);
    uint32_t expire = 0;
    std::string store;
    std::vector<std::string> proxies;

    CLI::App app("The registration server of a parlon network.", "parlon-center");
    app.option_defaults()->always_capture_default();
    app.add_option("--listen", listen, "IPv4 address and port to listen on (port 0: any free)")
        ->check(ReadableBy(ParseAddressAndPort, "expected ADDRESS:PORT, e.g. 127.0.0.1:7878",
                           "ADDRESS:PORT"));
    // A parlon wraps at most kMaxHopCount layers, whatever the center announces.
    app.add_option("--hop-count", settings.hopCount, "Encryption layers of a message")
        ->check(CLI::Range(uint32_t{1}, message_format::kMaxHopCount));
    AddPositive(app, "--poll-period", settings.pollPeriod, "Period of a parlon's queue work, ms");
    // 0 is a valid reply time: the answer leaves as soon as the receiver presses OK.
    app.add_option("--reply-time", settings.replyTime, "Time a receiver has to answer, ms")
        ->check(CLI::NonNegativeNumber);
    AddPositive(app, "--register-period", settings.registerPeriod, "Period of re-registration, ms");
    AddPositive(app, "--switch-period", settings.switchPeriod,
                "Parlons switch to a new list at each multiple of this, ms");
    AddPositive(app, "--expire", expire, "An entry not renewed for this long is dropped, ms")
        ->default_str("3 x register period");
    AddPositive(app, "--request-deadline", settings.requestDeadline,
                "Time a connection has to deliver its request and take the reply, ms");
    app.add_option("--store", store,
                   "Keep the list in this Redis server, shared by every center of a cluster "
                   "(their hosts' clocks in step, every center with the same announced "
                   "words); without it the list stays in this center's memory")
        ->check(ReadableBy(ParseStoreAddress, "expected redis://HOST:PORT or redis://HOST:PORT/DB",
                           "redis://HOST:PORT[/DB]"));
    app.add_option("--proxy-protocol", proxies,
                   "Take connections only from these proxies, each beginning with a PROXY "
                   "protocol header (v1 or v2) that names the parlon's own address")
        ->delimiter(',')
        ->check(ReadableBy(ParseDottedIpv4, "expected an IPv4 address", "ADDRESS"));
    AddPositive(app, "--first-byte-deadline", settings.firstByteDeadline,
                "Time a connection has to deliver its first byte, ms");
    app.add_option("--max-entries", settings.maxEntries,
                   "Entries listed at most (a reply of 33 + 417 bytes each)")
        ->check(CLI::Range(size_t{1}, kMaxReplyEntries));
    AddPositive(app, "--max-per-address", settings.admission.maxPerAddress,
                "New entries on one IPv4 address beyond this many are refused");
    app.add_flag("--trust-announced-address", settings.admission.trustAnnouncedAddress,
                 "Take an entry's address as announced, not from the connection (behind a "
                 "proxy that hides the clients' addresses)");
    AddPositive(app, "--changes-per-minute", settings.changesPerMinute,
                "List changes one source address may make a minute (beyond a burst of "
                "--max-per-address)");
    AddPositive(app, "--max-held-reply-bytes", settings.maxHeldReplyBytes,
                "Bytes of lists that replies not yet taken may hold; beyond it "
                "registrations are refused");
    AddPositive(app, "--max-connections", settings.maxConnections,
                "Connections open at once; more are closed at once");
    AddPositive(app, "--max-connections-per-source", settings.maxConnectionsPerSource,
                "Connections open at once from one address; more are closed at once "
                "(the proxies of --proxy-protocol are not bounded by it)");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& failure) {
        exitCode = app.exit(failure, out, err);
        return std::nullopt;
    }
    const size_t largestReply = kReplyEntriesOffset + settings.maxEntries * kParlonEntrySize;
    if (settings.maxHeldReplyBytes < largestReply) {
        err << "--max-held-reply-bytes: must hold at least the largest reply, " << largestReply
            << " bytes for --max-entries " << settings.maxEntries << "\n";
        exitCode = 2;
        return std::nullopt;
    }
    commandLine.listen = *ParseAddressAndPort(listen);
    if (!store.empty()) {
        commandLine.store = ParseStoreAddress(store);
    }
    for (const std::string& proxy : proxies) {
        settings.proxies.push_back(*ParseDottedIpv4(proxy));
    }
    settings.expire =
        expire != 0
            ? expire
            : static_cast<uint32_t>(std::min<uint64_t>(uint64_t{3} * settings.registerPeriod,
                                                       std::numeric_limits<uint32_t>::max()));
    exitCode = 0;
    return commandLine;
}

}  // namespace parlon
