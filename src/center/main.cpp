// parlon-center: the registration server of a parlon network. Serves until SIGINT or SIGTERM
// (exit code 0), or until accepting connections fails for good (exit code 1).
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <csignal>
#include <iostream>

#include "center/center_command_line.h"
#include "center/center_log_sink.h"
#include "center/center_server.h"
#include "center/redis_registry_store.h"
#include "net/asio_endpoint.h"

int main(int argc, char** argv) {
    using namespace parlon;
    int exitCode = 0;
    const std::optional<CenterCommandLine> commandLine =
        ParseCenterCommandLine(argc, argv, std::cout, std::cerr, exitCode);
    if (!commandLine) {
        return exitCode;
    }
    const CenterLogSink log = StderrLogSink();
    try {
        asio::io_context io(1);
        std::unique_ptr<RegistryStore> store;
        if (commandLine->store) {
            log("parlon-center: the list is kept in " + StoreAddressText(*commandLine->store));
            store = std::make_unique<RedisRegistryStore>(
                RedisRegistryStore::Options{*commandLine->store, commandLine->settings}, log);
        }
        // Signals are taken over before the listening line tells anyone the center is up.
        asio::signal_set signals(io, SIGINT, SIGTERM);
        bool acceptingFailed = false;
        CenterServer server(io, commandLine->settings, log, std::move(store), [&] {
            // The server has logged why; without accepting, a center cannot serve anyone.
            log("parlon-center: stopping: connections can no longer be accepted");
            acceptingFailed = true;
            signals.cancel();
        });
        signals.async_wait([&](std::error_code error, int signal) {
            if (!error) {
                log("parlon-center: stopping on signal " + std::to_string(signal));
                server.Close();
            }
        });
        if (const std::error_code error = server.Listen(ToEndpoint(commandLine->listen))) {
            log("parlon-center: cannot listen on " + EndpointText(commandLine->listen) + ": " +
                error.message());
            return 1;
        }
        PeerAddress bound = commandLine->listen;
        bound.port = server.Port();
        log("parlon-center: listening on " + EndpointText(bound));

        // Returns once Close() has ended every connection.
        io.run();
        if (acceptingFailed) {
            return 1;
        }
    } catch (const std::exception& failure) {
        log(std::string("parlon-center: ") + failure.what());
        return 1;
    }
    return 0;
}
