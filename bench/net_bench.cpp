// Registrations per second at the center (10, 100, 1000 registered parlons) and frames per
// second into a PeerListener, each with its ratio to a floor measured in the same run:
//   - connection floor: a minimal blocking server on loopback that accepts, reads the request,
//     writes a reply of the same size as the center's and closes (FloorExchange), or accepts,
//     reads to the end and closes (FloorFrames);
//   - byte floor: raw loopback TCP throughput, one connection streaming reply-sized writes.
// Every measurement uses the same blocking client, so the ratios compare the servers.
// The floors run first (registration order) and leave their rates for the later benchmarks.
// FloorExchange also reports its own vs_byte_floor: what a server that opens one connection
// per reply can reach at best on this machine.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <cryptopp/osrng.h>

#include "center/center_thread.h"
#include "crypto/key_pair.h"
#include "net/asio_endpoint.h"
#include "net/packet.h"
#include "net/peer_listener.h"
#include "queue/guarded_queue.h"

namespace parlon {
namespace {

using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

constexpr size_t kFramePayload = 1024;

size_t ReplySize(int64_t parlons) {
    return kReplyEntriesOffset + static_cast<size_t>(parlons) * kParlonEntrySize;
}

// The center lists only real keys; one serves every entry.
const std::string& BenchKeyText() {
    static const std::string text = [] {
        CryptoPP::AutoSeededRandomPool rng;
        return KeyPair(rng).PublicKeyText();
    }();
    return text;
}

ParlonEntry BenchEntry(uint32_t index) {
    ParlonEntry entry;
    entry.ip = ParseIpv4("127.0.0.1");
    entry.port = static_cast<uint16_t>(10000 + index);
    std::string nickname = "p";  // not "p" + to_string: GCC 12 warns falsely (-Wrestrict)
    nickname += std::to_string(index);
    entry.SetNickname(nickname);
    entry.SetPublicKey(BenchKeyText());
    return entry;
}

std::vector<uint8_t> RegistrationFrame(const ParlonEntry& entry) {
    const ByteBuffer frame = Packet(Registration, RegistrationRecord{entry, {}}).Encode();
    return {frame.Bytes().begin(), frame.Bytes().end()};
}

// The one client of every measurement: a blocking exchange on a new connection. Writes
// `request`; when `endSending`, ends the sending side; then reads until the server closes.
// Returns the number of bytes read.
size_t Exchange(asio::io_context& io, const tcp::endpoint& server,
                const std::vector<uint8_t>& request, bool endSending,
                std::vector<uint8_t>& readBuffer) {
    tcp::socket socket(io);
    socket.connect(server);
    socket.set_option(tcp::no_delay(true));
    asio::write(socket, asio::buffer(request));
    if (endSending) {
        socket.shutdown(tcp::socket::shutdown_send);
    }
    size_t total = 0;
    std::error_code error;
    while (!error) {
        total += socket.read_some(asio::buffer(readBuffer), error);
    }
    return total;
}

// A minimal blocking server on a thread of its own, serving one connection at a time with
// `serve`; the floor every real server is compared with.
class FloorServer {
  public:
    using Serve = std::function<void(tcp::socket&)>;
    explicit FloorServer(Serve serve)
        : m_serve(std::move(serve)),
          m_acceptor(m_io, tcp::endpoint(asio::ip::address_v4::loopback(), 0)),
          m_endpoint(m_acceptor.local_endpoint()),
          m_thread([this] { Run(); }) {}
    ~FloorServer() {
        m_stopping = true;
        asio::io_context io;
        tcp::socket wake(io);
        wake.connect(m_endpoint);
        wake.close();
        m_thread.join();
    }
    const tcp::endpoint& Endpoint() const { return m_endpoint; }
    size_t Served() const { return m_served.load(); }

  private:
    void Run() {
        while (true) {
            tcp::socket socket(m_io);
            m_acceptor.accept(socket);
            if (m_stopping) {
                return;
            }
            std::error_code ignored;
            try {
                m_serve(socket);
            } catch (const std::system_error&) {
            }
            socket.close(ignored);
            ++m_served;
        }
    }

    Serve m_serve;
    asio::io_context m_io;
    tcp::acceptor m_acceptor;
    const tcp::endpoint m_endpoint;
    std::atomic<bool> m_stopping{false};
    std::atomic<size_t> m_served{0};
    std::thread m_thread;
};

// Rates left by the floors for the benchmarks that follow.
std::map<int64_t, double> g_exchangeFloor;  // connections per second, by number of parlons
double g_byteFloor = 0;                     // bytes per second
double g_framesFloor = 0;                   // frames per second

// Runs `exchange` once per iteration and returns iterations per second of wall time.
template <typename Exchange>
double MeasureRate(benchmark::State& state, Exchange exchange) {
    const auto started = Clock::now();
    for (auto _ : state) {
        exchange();
    }
    const std::chrono::duration<double> elapsed = Clock::now() - started;
    state.SetItemsProcessed(state.iterations());
    return static_cast<double>(state.iterations()) / elapsed.count();
}

void SetRatio(benchmark::State& state, const char* name, double rate, double floor) {
    if (floor > 0) {
        state.counters[name] = rate / floor;
    }
}

void FloorLoopbackBytes(benchmark::State& state) {
    const size_t chunk = ReplySize(1000);
    FloorServer server([chunk](tcp::socket& socket) {
        const std::vector<uint8_t> bytes(chunk, 0x5A);
        while (true) {
            asio::write(socket, asio::buffer(bytes));
        }
    });
    asio::io_context io;
    tcp::socket socket(io);
    socket.connect(server.Endpoint());
    std::vector<uint8_t> readBuffer(1 << 16);
    const double rate = MeasureRate(state, [&] {
        for (size_t left = chunk; left > 0;) {
            left -= socket.read_some(
                asio::buffer(readBuffer.data(), std::min(left, readBuffer.size())));
        }
    });
    g_byteFloor = rate * static_cast<double>(chunk);
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(chunk));
    socket.close();
}
BENCHMARK(FloorLoopbackBytes)->UseRealTime();

void FloorExchange(benchmark::State& state) {
    const size_t replySize = ReplySize(state.range(0));
    const std::vector<uint8_t> reply(replySize, 0x5A);
    FloorServer server([&reply](tcp::socket& socket) {
        std::vector<uint8_t> request(kRegistrationFrameSize);
        asio::read(socket, asio::buffer(request));
        asio::write(socket, asio::buffer(reply));
        socket.shutdown(tcp::socket::shutdown_send);
    });
    asio::io_context io;
    const std::vector<uint8_t> request = RegistrationFrame(BenchEntry(0));
    std::vector<uint8_t> readBuffer(1 << 16);
    size_t bytes = 0;
    const double rate = MeasureRate(
        state, [&] { bytes += Exchange(io, server.Endpoint(), request, false, readBuffer); });
    g_exchangeFloor[state.range(0)] = rate;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    // How close one connection per reply can come to streaming at all on this machine: the
    // ceiling for the center's vs_byte_floor.
    SetRatio(state, "vs_byte_floor", rate * static_cast<double>(replySize), g_byteFloor);
}
BENCHMARK(FloorExchange)->Arg(10)->Arg(100)->Arg(1000)->UseRealTime();

void FloorFrames(benchmark::State& state) {
    FloorServer server([](tcp::socket& socket) {
        std::vector<uint8_t> frame;
        std::error_code endOfFrame;
        asio::read(socket, asio::dynamic_buffer(frame), endOfFrame);
    });
    asio::io_context io;
    const std::vector<uint8_t> frame(kFrameHeaderSize + kFramePayload, 0x46);
    std::vector<uint8_t> readBuffer(16);
    const auto started = Clock::now();
    for (auto _ : state) {
        Exchange(io, server.Endpoint(), frame, true, readBuffer);
    }
    while (server.Served() < static_cast<size_t>(state.iterations())) {
        std::this_thread::yield();
    }
    const std::chrono::duration<double> elapsed = Clock::now() - started;
    g_framesFloor = static_cast<double>(state.iterations()) / elapsed.count();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(FloorFrames)->UseRealTime();

// A center with `parlons` registered, kept across the calls of one benchmark.
CenterThread& CenterWith(int64_t parlons) {
    static std::mutex mutex;  // the clients of one benchmark may come on several threads
    std::lock_guard lock(mutex);
    static std::map<int64_t, std::unique_ptr<CenterThread>> centers;
    std::unique_ptr<CenterThread>& center = centers[parlons];
    if (center == nullptr) {
        CenterSettings settings;
        settings.expire = 3600 * 1000;
        // Every entry comes from 127.0.0.1, as fast as the benchmark can register them.
        settings.admission.maxPerAddress = 1000;
        settings.changesPerMinute = 1000000;
        std::string error;
        center = CenterThread::Start(settings, error, {});
        asio::io_context io;
        std::vector<uint8_t> readBuffer(1 << 16);
        const tcp::endpoint endpoint = ToEndpoint(center->Address());
        for (uint32_t index = 0; index < parlons; ++index) {
            Exchange(io, endpoint, RegistrationFrame(BenchEntry(index)), false, readBuffer);
        }
    }
    return *center;
}

void CenterRegistrations(benchmark::State& state) {
    const int64_t parlons = state.range(0);
    const tcp::endpoint center = ToEndpoint(CenterWith(parlons).Address());
    asio::io_context io;
    const std::vector<uint8_t> request = RegistrationFrame(BenchEntry(0));  // a renewal
    std::vector<uint8_t> readBuffer(1 << 16);
    size_t bytes = 0;
    const double rate = MeasureRate(state, [&] {
        const size_t read = Exchange(io, center, request, false, readBuffer);
        if (read != ReplySize(parlons)) {
            state.SkipWithError("the reply does not list every registered parlon");
        }
        bytes += read;
    });
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    SetRatio(state, "vs_connection_floor", rate, g_exchangeFloor[parlons]);
    SetRatio(state, "vs_byte_floor", rate * static_cast<double>(ReplySize(parlons)), g_byteFloor);
}
BENCHMARK(CenterRegistrations)->Arg(10)->Arg(100)->Arg(1000)->UseRealTime();
// Parlons register concurrently; the center serves them at once, a floor server one by one.
// With several client threads the ratios (summed over the threads) compare the center's total
// rate with the single-connection floors.
BENCHMARK(CenterRegistrations)->Arg(1000)->Threads(2)->Threads(4)->UseRealTime();

void PeerListenerFrames(benchmark::State& state) {
    GuardedQueue queue;
    std::string error;
    const std::unique_ptr<PeerListener> listener =
        PeerListener::Start({ParseIpv4("127.0.0.1"), 0}, queue, error);
    if (listener == nullptr) {
        state.SkipWithError(error.c_str());
        return;
    }
    const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), listener->Port());
    asio::io_context io;
    const std::vector<uint8_t> frame(kFrameHeaderSize + kFramePayload, 0x46);
    std::vector<uint8_t> readBuffer(16);
    size_t received = 0;
    const auto started = Clock::now();
    for (auto _ : state) {
        Exchange(io, endpoint, frame, true, readBuffer);
        while (queue.TakeFront()) {
            ++received;
        }
    }
    while (received < static_cast<size_t>(state.iterations())) {
        if (queue.TakeFront()) {
            ++received;
        } else {
            std::this_thread::yield();
        }
    }
    const std::chrono::duration<double> elapsed = Clock::now() - started;
    state.SetItemsProcessed(state.iterations());
    SetRatio(state, "vs_frames_floor", static_cast<double>(state.iterations()) / elapsed.count(),
             g_framesFloor);
}
BENCHMARK(PeerListenerFrames)->UseRealTime();

}  // namespace
}  // namespace parlon

BENCHMARK_MAIN();
