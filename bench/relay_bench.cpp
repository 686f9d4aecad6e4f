// Relay throughput: the packets per second one parlon forwards under a steady flood of valid
// packets, against the floor of the same decryptions on both cores, at hop counts 3 and 8.
//
// The relay R is a whole headless node in this process (CliNode: its listener, its poll timer
// at 10 ms, its session and its pooled transport) registered at an in-process center. The
// benchmark holds R's key pair, wraps unique messages whose first hop is R (through a list of
// its own sender, R and a sink), and keeps those whose next hop after R is not R itself. Two
// threads then deliver them to R as fast as R's listener takes them, and two counting sinks
// take what R forwards; the relay's rate is what arrived at the sinks over the time from the
// first delivery to the last arrival.
//
// The floor is the same decryptions without any node: every RSA block of R's layer of the same
// packets decrypted with R's key by two threads at once (raw Crypto++, no parsing, no
// threads handing blocks to each other), timed before and after the flood (the mean is the
// floor). A ratio of 1 means the node adds nothing to its decryptions.
//
// On a machine shared with other work, wall-clock rates of two phases need not compare, so the
// processor time of the process is reported too: the floor's per packet over the relay phase's
// per packet (which also pays for the benchmark's own senders and sinks). On a quiet machine
// with both cores free the two ratios agree.
//
// Usage: relay_bench [HOPS...]   (default 3 8)
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <sys/resource.h>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_center.h"
#include "center/center_thread.h"
#include "cli/cli_node.h"
#include "common/text_field.h"
#include "common/utf8_text.h"
#include "crypto/encryption_context.h"
#include "crypto/key_pair.h"
#include "crypto/message_format.h"
#include "net/asio_endpoint.h"
#include "net/center_connection.h"
#include "queue/guarded_queue.h"
#include "support/temp_dir.h"
#include "support/test_support.h"

namespace parlon {
namespace {

using Clock = std::chrono::steady_clock;
using asio::ip::tcp;
using namespace std::chrono_literals;

constexpr size_t kThreads = 2;  // the machine's cores

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

// Processor time used by this process so far, all threads, user and system.
double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& time) {
        return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Accepts connections on loopback and counts the frames that arrive whole.
class CountingSink {
  public:
    CountingSink() : m_acceptor(m_io, {asio::ip::address_v4::loopback(), 0}) {
        m_acceptor.listen(asio::socket_base::max_listen_connections);
        m_thread = std::thread([this] {
            while (!m_stop) {
                tcp::socket socket(m_io);
                std::error_code error;
                m_acceptor.accept(socket, error);
                if (error) {
                    continue;
                }
                std::vector<uint8_t> frame;
                asio::read(socket, asio::dynamic_buffer(frame), error);
                if (error == asio::error::eof && !frame.empty()) {
                    ++m_frames;
                    m_lastArrival = Clock::now().time_since_epoch().count();
                }
            }
        });
    }
    ~CountingSink() {
        m_stop = true;
        asio::io_context io;  // one last connection wakes the accept
        tcp::socket wake(io);
        std::error_code ignored;
        wake.connect(m_acceptor.local_endpoint(), ignored);
        wake.close(ignored);
        m_thread.join();
    }

    PeerAddress Address() const { return ToPeerAddress(m_acceptor.local_endpoint()); }
    size_t Frames() const { return m_frames; }
    Clock::time_point LastArrival() const {
        return Clock::time_point(Clock::duration(m_lastArrival.load()));
    }

  private:
    asio::io_context m_io;
    tcp::acceptor m_acceptor;
    std::atomic<bool> m_stop{false};
    std::atomic<size_t> m_frames{0};
    std::atomic<Clock::rep> m_lastArrival{0};
    std::thread m_thread;
};

// The relay: a headless node on its own thread, opening its layers with `keys`.
class RelayNode {
  public:
    RelayNode(const PeerAddress& center, const KeyPair& keys, const std::filesystem::path& logDir,
              uint16_t port) {
        NodeOptions options;
        options.settings.nickname = "R";
        options.settings.ownIp = ParseIpv4("127.0.0.1");
        options.settings.ownPort = port;
        options.settings.center = center;
        SessionServices services = SessionServices::Real();
        services.incoming = &m_incoming;
        services.makeEncryption = [&keys](const PeerAddress& own,
                                          const std::vector<ParlonEntry>& parlons) {
            return std::make_unique<EncryptionContext>(
                own, parlons, keys, std::make_unique<CryptoPP::AutoSeededRandomPool>());
        };
        m_node = std::make_unique<CliNode>(
            m_io, options, std::make_unique<ActivityLog>(logDir / "R.log"), std::move(services),
            [this](const NodeEvent& event) {
                if (const auto* list = std::get_if<ListEvent>(&event)) {
                    m_listed = !list->parlons.empty();
                }
            });
        m_thread = std::thread([this] { m_io.run(); });
        asio::post(m_io, [this] { m_node->Start(); });
    }
    ~RelayNode() {
        asio::post(m_io, [this] {
            m_node->Quit();
            m_io.stop();
        });
        m_thread.join();
        m_node.reset();
    }
    bool Listed() const { return m_listed; }

  private:
    asio::io_context m_io{1};
    asio::executor_work_guard<asio::io_context::executor_type> m_work{m_io.get_executor()};
    GuardedQueue m_incoming;
    std::atomic<bool> m_listed{false};
    std::unique_ptr<CliNode> m_node;
    std::thread m_thread;
};

// Runs `work(thread)` on kThreads threads at once; returns the time they took together.
Clock::duration OnAllCores(const std::function<void(size_t)>& work) {
    const Clock::time_point started = Clock::now();
    std::vector<std::thread> threads;
    for (size_t thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back(work, thread);
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    return Clock::now() - started;
}

int Measure(uint32_t hops, size_t candidates) {
    test::TempDir dir;
    const auto center = bench::StartBenchCenter("relay_bench", hops, 10);
    if (!center) {
        return 1;
    }
    CountingSink sinkA;  // stands for the benchmark's sender
    CountingSink sinkB;
    const PeerAddress relayAddress = test::UnusedPort();

    // The benchmark's list: its sender (at sink A), R, and a sink; R's key pair is kept.
    std::vector<ParlonEntry> list(3);
    const PeerAddress addresses[] = {sinkA.Address(), relayAddress, sinkB.Address()};
    std::vector<std::unique_ptr<EncryptionContext>> contexts;
    for (size_t row = 0; row < 3; ++row) {
        contexts.push_back(std::make_unique<EncryptionContext>(addresses[row], list));
        list[row].ip = addresses[row].ip;
        list[row].port = addresses[row].port;
        list[row].SetNickname(std::string(1, "SRX"[row]));
        list[row].SetPublicKey(contexts[row]->GetPublicKey());
    }
    EncryptionContext& sender = *contexts[0];
    const KeyPair& relayKeys = contexts[1]->GetKeyPair();
    sender.SetHopCount(hops);

    std::vector<ByteBuffer> packets;
    for (size_t made = 0; packets.size() < candidates && made < candidates * 20; ++made) {
        PeerAddress firstHop;
        const auto packet = sender.WrapMessage(
            MakeTextField(QueuedText("flood " + std::to_string(made)).Bytes()), 2, firstHop);
        if (packet && firstHop == relayAddress) {
            packets.push_back(*packet);
        }
    }

    // Which packets R passes on to another parlon: R's layer opened by copies of its key pair.
    std::vector<std::vector<char>> forwarded(kThreads);
    OnAllCores([&](size_t thread) {
        EncryptionContext twin(relayAddress, list, relayKeys,
                               std::make_unique<CryptoPP::AutoSeededRandomPool>());
        twin.SetHopCount(hops);
        for (size_t i = thread; i < packets.size(); i += kThreads) {
            PeerAddress next;
            ReplyHandle message;
            const bool passesOn =
                twin.Unwrap(packets[i], sinkA.Address(), next, message).has_value() &&
                !next.IsNone() && !(next == relayAddress);
            forwarded[thread].push_back(passesOn ? 1 : 0);
        }
    });
    std::vector<ByteBuffer> flood;
    for (size_t i = 0; i < packets.size(); ++i) {
        if (forwarded[i % kThreads][i / kThreads] != 0) {
            flood.push_back(packets[i]);
        }
    }
    // The floor: every RSA block of R's layer of the flood decrypted with R's key, the packets
    // taken by both cores as they are free, nothing else. Timed before and after the flood, so that
    // a change of the machine's speed meanwhile moves both.
    double floorCpu = 0;  // processor seconds of both floor runs
    const auto floorRate = [&] {
        const double cpuBefore = CpuSeconds();
        std::atomic<size_t> next{0};  // taken one by one, so that a slower core does less
        const Clock::duration took = OnAllCores([&](size_t) {
            CryptoPP::AutoSeededRandomPool rng;
            const CryptoPP::RSAES_OAEP_SHA_Decryptor decryptor(relayKeys.PrivateKey());
            std::vector<uint8_t> chunk(decryptor.FixedMaxPlaintextLength());
            for (size_t i; (i = next++) < flood.size();) {
                const uint8_t* layer = flood[i].Data() + message_format::kForwardLayerOffset;
                const size_t blocks = (flood[i].Length() - message_format::kForwardLayerOffset) /
                                      message_format::kBlockSize;
                for (size_t block = 0; block < blocks; ++block) {
                    decryptor.Decrypt(rng, layer + block * message_format::kBlockSize,
                                      message_format::kBlockSize, chunk.data());
                }
            }
        });
        floorCpu += CpuSeconds() - cpuBefore;
        return static_cast<double>(flood.size()) / Seconds(took);
    };
    const double floorBefore = floorRate();

    // The sender and the sink are parlons of the network, listed before R registers: a relay
    // forwards only to parlons of its lists. Each stays registered while its link lives.
    std::vector<std::unique_ptr<CenterConnection>> registered;
    for (const size_t row : {size_t{0}, size_t{2}}) {
        registered.push_back(std::make_unique<CenterConnection>(list[row], center->Address()));
        std::vector<ParlonEntry> listed;
        CenterSchedule schedule;
        if (!registered.back()->Register(listed, schedule)) {
            std::fprintf(stderr, "relay_bench: the center refused %s\n",
                         std::string(list[row].NicknameText()).c_str());
            return 1;
        }
    }
    RelayNode relay(center->Address(), relayKeys, dir.Path(), relayAddress.port);
    if (!test::Eventually([&] { return relay.Listed(); }, 60s)) {
        std::fprintf(stderr, "relay_bench: the relay never registered\n");
        return 1;
    }
    const Clock::time_point started = Clock::now();
    const double relayCpuBefore = CpuSeconds();
    OnAllCores([&](size_t thread) {
        for (size_t i = thread; i < flood.size(); i += kThreads) {
            SendPacket(relayAddress, flood[i], TransportDeadlines{});
        }
    });
    const bool all =
        test::Eventually([&] { return sinkA.Frames() + sinkB.Frames() >= flood.size(); }, 300s);
    const size_t arrived = sinkA.Frames() + sinkB.Frames();
    const double relayCpu = CpuSeconds() - relayCpuBefore;
    const Clock::time_point last = std::max(sinkA.LastArrival(), sinkB.LastArrival());
    const double relayRate = static_cast<double>(arrived) / Seconds(last - started);
    const double floorAfter = floorRate();
    const double floor = (floorBefore + floorAfter) / 2;
    const double cpuRatio = (floorCpu / 2 / static_cast<double>(flood.size())) /
                            (relayCpu / static_cast<double>(arrived));
    std::printf("%4u %8zu %8zu %7.1f (%.1f, %.1f) %12.1f %7.2f %9.2f%s\n", hops, flood.size(),
                arrived, floor, floorBefore, floorAfter, relayRate, relayRate / floor, cpuRatio,
                all ? "" : "  (not all forwarded)");
    std::fflush(stdout);
    return all ? 0 : 1;
}

}  // namespace
}  // namespace parlon

int main(int argc, char** argv) {
    std::vector<uint32_t> hops;
    for (int i = 1; i < argc; ++i) {
        hops.push_back(static_cast<uint32_t>(std::atoi(argv[i])));
    }
    if (hops.empty()) {
        hops = {3, 8};
    }
    std::printf("%4s %8s %8s %-26s %12s %7s %9s\n", "hops", "flooded", "arrived",
                "floor pkt/s (before, after)", "relay pkt/s", "ratio", "cpu ratio");
    int status = 0;
    for (const uint32_t hop : hops) {
        // About ten seconds of flood each.
        status |= parlon::Measure(hop, hop <= 3 ? 1500 : 300);
    }
    return status;
}
