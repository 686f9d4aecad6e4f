// Message cryptography against the raw Crypto++ operations it is built on, in one run.
//
// Measures RSA-2048 OAEP encryption of one 213-byte chunk and decryption of one 256-byte
// block on one core (and decryption on two cores at once, the machine's own limit for
// parallel work), WrapMessage and Unwrap at hop counts 1, 3 and 8, key generation and
// EncryptionContext construction. After the runs it prints each operation's time as a ratio
// to its floor: WrapMessage to (chunks encrypted x raw encryption), Unwrap of the outermost
// layer to (its blocks x raw decryption on one core), construction to raw key generation.
//
// The speed of a shared machine drifts, so every ratio comes from pairs: each iteration times
// the operation and its floor back to back, alternating which goes first, and the ratio is
// that of the means, with one standard error from the spread of the pairs. Key generation
// varies a lot from key to key, so construction is paired twice: over the same keys (a seeded
// generator gives KeyPair and raw generation identical prime searches; the rest of
// construction is timed on its own, on a given pair), and over fresh keys from the system's
// generator with the real constructor.
//
// The replay check of Unwrap (digest of the encrypted layer, lookup and record in a store that
// holds its full count of digests) is paired with Unwrap of a 2-block packet, its floor here.
//
// Wall-clock times (Unwrap uses several threads). The load average is printed at start and
// end: the machine is shared, and a busy core inflates the parallel figures.
#include <benchmark/benchmark.h>

#include <cryptopp/aes.h>
#include <cryptopp/modes.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crypto/encryption_context.h"
#include "crypto/key_pair.h"
#include "crypto/message_format.h"
#include "crypto/opened_layers.h"

namespace {

using namespace parlon;
namespace mf = message_format;
using Clock = std::chrono::steady_clock;

constexpr int kSeededKeyPairs = 20;
constexpr int kFreshKeyPairs = 100;
constexpr uint32_t kHopCounts[] = {1, 3, 8};

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename Operation>
double Time(Operation operation) {
    const Clock::time_point start = Clock::now();
    operation();
    return SecondsSince(start);
}

// One raw key and a chunk and block to work on. Each thread that decrypts makes its own
// decryptor and generator from it.
struct RawKey {
    RawKey() : key(MakeKey()), encryptor(CryptoPP::RSAFunction(key)) {
        rng.GenerateBlock(chunk.data(), chunk.size());
        encryptor.Encrypt(rng, chunk.data(), chunk.size(), block.data());
    }
    static CryptoPP::InvertibleRSAFunction MakeKey() {
        CryptoPP::AutoSeededRandomPool rng;
        CryptoPP::InvertibleRSAFunction key;
        key.Initialize(rng, mf::kModulusBits, mf::kPublicExponent);
        return key;
    }

    CryptoPP::AutoSeededRandomPool rng;
    CryptoPP::InvertibleRSAFunction key;
    CryptoPP::RSAES_OAEP_SHA_Encryptor encryptor;
    std::array<uint8_t, mf::kChunkSize> chunk{};
    std::array<uint8_t, mf::kBlockSize> block{};
};

RawKey& Raw() {
    static RawKey raw;
    return raw;
}

// Raw encryption of `chunks` chunks, one after the other.
double TimeRawEncryption(size_t chunks) {
    RawKey& raw = Raw();
    std::array<uint8_t, mf::kBlockSize> block{};
    return Time([&] {
        for (size_t chunk = 0; chunk < chunks; ++chunk) {
            raw.encryptor.Encrypt(raw.rng, raw.chunk.data(), raw.chunk.size(), block.data());
        }
        benchmark::DoNotOptimize(block);
    });
}

// Raw decryption of `blocks` blocks on the calling thread.
double TimeRawDecryption(size_t blocks) {
    static CryptoPP::RSAES_OAEP_SHA_Decryptor decryptor(Raw().key);
    static CryptoPP::AutoSeededRandomPool rng;
    std::array<uint8_t, mf::kMaxBlockPlaintext> chunk{};
    return Time([&] {
        for (size_t block = 0; block < blocks; ++block) {
            benchmark::DoNotOptimize(
                decryptor.Decrypt(rng, Raw().block.data(), Raw().block.size(), chunk.data()));
        }
    });
}

// A sender and a receiver sharing a list of two.
struct TwoParlons {
    TwoParlons() {
        for (uint16_t index = 0; index < 2; ++index) {
            ParlonEntry entry;
            entry.ip = ParseIpv4("127.0.0.1");
            entry.port = static_cast<uint16_t>(7001 + index);
            contexts[index] = std::make_unique<EncryptionContext>(entry.Address(), list);
            entry.SetPublicKey(contexts[index]->GetPublicKey());
            list.push_back(entry);
        }
    }
    EncryptionContext& Sender() { return *contexts[0]; }
    EncryptionContext& Receiver() { return *contexts[1]; }

    std::vector<ParlonEntry> list;
    std::array<std::unique_ptr<EncryptionContext>, 2> contexts;
};

TwoParlons& Parlons() {
    static TwoParlons parlons;
    return parlons;
}

const TextField kText = MakeTextField({reinterpret_cast<const uint8_t*>("benchmark text"), 15});

// A generator whose output depends on `seed` only.
class SeededGenerator {
  public:
    explicit SeededGenerator(uint32_t seed) {
        std::array<uint8_t, CryptoPP::AES::DEFAULT_KEYLENGTH> key{};
        std::array<uint8_t, CryptoPP::AES::BLOCKSIZE> iv{};
        std::memcpy(key.data(), &seed, sizeof seed);
        m_cipher.SetKeyWithIV(key.data(), key.size(), iv.data(), iv.size());
    }
    CryptoPP::RandomNumberGenerator& Get() { return m_cipher; }

  private:
    CryptoPP::OFB_Mode<CryptoPP::AES>::Encryption m_cipher;
};

// Times of a floor (the raw operations) and of the operation built on them, taken in pairs,
// by the name of the benchmark. Repetitions add to them.
struct PairedTimes {
    std::vector<double> floor;
    std::vector<double> operation;
};
std::map<std::string, PairedTimes> g_pairs;

// Runs `floor` and `operation` once per iteration, back to back, alternating which goes first
// so that a drift of the machine's speed falls on both alike; the iteration's time is the
// operation's. Each gets the number of the pair.
template <typename Floor, typename Operation>
void RunPairs(benchmark::State& state, const std::string& name, Floor floor, Operation operation) {
    PairedTimes& times = g_pairs[name];
    for (auto _ : state) {
        const uint32_t pair = static_cast<uint32_t>(times.floor.size());
        double floorSeconds = 0;
        double operationSeconds = 0;
        if (pair % 2 == 0) {
            floorSeconds = floor(pair);
            operationSeconds = operation(pair);
        } else {
            operationSeconds = operation(pair);
            floorSeconds = floor(pair);
        }
        times.floor.push_back(floorSeconds);
        times.operation.push_back(operationSeconds);
        state.SetIterationTime(operationSeconds);
    }
}

std::string Named(const char* operation, int64_t hops) {
    return std::string(operation) + "/" + std::to_string(hops);
}

void BM_RawEncryptChunk(benchmark::State& state) {
    for (auto _ : state) {
        state.SetIterationTime(TimeRawEncryption(1));
    }
}

// With several threads, every thread decrypts at once with its own objects.
void BM_RawDecryptBlock(benchmark::State& state) {
    CryptoPP::RSAES_OAEP_SHA_Decryptor decryptor(Raw().key);
    CryptoPP::AutoSeededRandomPool rng;
    std::array<uint8_t, mf::kMaxBlockPlaintext> chunk{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            decryptor.Decrypt(rng, Raw().block.data(), Raw().block.size(), chunk.data()));
    }
}

// Both parlons work with `hops` layers; their route records expire at once, so that the
// unanswered messages of a long run never fill their tables.
void SetUpForUnwrap(TwoParlons& parlons, uint32_t hops) {
    for (const auto& context : parlons.contexts) {
        context->SetHopCount(hops);
        context->SetRouteLifetime(std::chrono::milliseconds(0));
    }
}

void BM_WrapMessage(benchmark::State& state) {
    const auto hops = static_cast<uint32_t>(state.range(0));
    TwoParlons& parlons = Parlons();
    SetUpForUnwrap(parlons, hops);
    RunPairs(
        state, Named("WrapMessage", hops),
        [&](uint32_t) { return TimeRawEncryption(mf::ChunksToWrap(hops)); },
        [&](uint32_t) {
            PeerAddress firstHop;
            return Time([&] {
                benchmark::DoNotOptimize(parlons.Sender().WrapMessage(kText, 1, firstHop));
            });
        });
}

// A new packet whose outermost layer is the receiver's (relays are drawn from both parlons):
// a layer opens once, so every Unwrap needs one of its own.
ByteBuffer PacketForReceiver(TwoParlons& parlons) {
    std::optional<ByteBuffer> packet;
    PeerAddress firstHop;
    do {
        packet = parlons.Sender().WrapMessage(kText, 1, firstHop);
    } while (!packet || firstHop != parlons.list[1].Address());
    return *packet;
}

// The time of the receiver's Unwrap of `packet`, which comes from the sender's address.
double TimeUnwrap(benchmark::State& state, TwoParlons& parlons, const ByteBuffer& packet) {
    PeerAddress nextHop;
    ReplyHandle message;
    return Time([&] {
        if (!parlons.Receiver().Unwrap(packet, parlons.list[0].Address(), nextHop, message)) {
            state.SkipWithError("Unwrap dropped a well-formed packet");
        }
    });
}

void BM_Unwrap(benchmark::State& state) {
    const auto hops = static_cast<uint32_t>(state.range(0));
    TwoParlons& parlons = Parlons();
    SetUpForUnwrap(parlons, hops);
    const size_t blocks = (mf::ForwardPacketSize(hops) - mf::kForwardLayerOffset) / mf::kBlockSize;
    RunPairs(
        state, Named("Unwrap", hops), [&](uint32_t) { return TimeRawDecryption(blocks); },
        [&](uint32_t) { return TimeUnwrap(state, parlons, PacketForReceiver(parlons)); });
}

// The replay check on the encrypted layer of a 2-block packet, in a store that holds its full
// count, against Unwrap of such a packet.
void BM_ReplayCheck(benchmark::State& state) {
    TwoParlons& parlons = Parlons();
    SetUpForUnwrap(parlons, 1);
    static OpenedLayers full = [] {
        OpenedLayers store;
        CryptoPP::AutoSeededRandomPool rng;
        OpenedLayers::Digest digest;
        while (store.Size() < OpenedLayers::kCapacity) {
            rng.GenerateBlock(digest.data(), digest.size());
            if (!store.Contains(digest)) {
                store.Insert(digest);
            }
        }
        return store;
    }();
    RunPairs(
        state, "Replay check",
        [&](uint32_t) { return TimeUnwrap(state, parlons, PacketForReceiver(parlons)); },
        [&](uint32_t) {
            const ByteBuffer packet = PacketForReceiver(parlons);
            return Time([&] {
                const OpenedLayers::Digest digest =
                    OpenedLayers::DigestOf(packet.Bytes().subspan(mf::kForwardLayerOffset));
                if (!full.Contains(digest)) {
                    full.Insert(digest);
                }
                benchmark::DoNotOptimize(digest);
            });
        });
}

double TimeRawGeneration(CryptoPP::RandomNumberGenerator& rng) {
    return Time([&] {
        CryptoPP::InvertibleRSAFunction key;
        key.Initialize(rng, mf::kModulusBits, mf::kPublicExponent);
        benchmark::DoNotOptimize(key);
    });
}

// Raw generation and KeyPair over the same key: pair i uses seed i for both.
void BM_KeyPairVsRawSameKeys(benchmark::State& state) {
    RunPairs(
        state, "KeyPair",
        [](uint32_t seed) {
            SeededGenerator rng(seed);
            return TimeRawGeneration(rng.Get());
        },
        [](uint32_t seed) {
            SeededGenerator rng(seed);
            return Time([&] {
                KeyPair pair(rng.Get());
                benchmark::DoNotOptimize(pair);
            });
        });
}

// Everything construction does besides generating the key pair (copying it in, making the
// generator and starting the decryption workers): the context made on a given pair, and, an
// upper bound, destroyed again.
void BM_ContextOnGivenKeyPair(benchmark::State& state) {
    static const KeyPair keys(Raw().rng);
    std::vector<ParlonEntry> list;
    const PeerAddress own{ParseIpv4("127.0.0.1"), 7001};
    for (auto _ : state) {
        EncryptionContext context(own, list, keys,
                                  std::make_unique<CryptoPP::AutoSeededRandomPool>());
        benchmark::DoNotOptimize(context);
    }
}

// Raw generation and the real constructor, each with fresh keys from the system's generator.
void BM_ConstructionVsRawFreshKeys(benchmark::State& state) {
    CryptoPP::AutoSeededRandomPool rng;
    std::vector<ParlonEntry> list;
    const PeerAddress own{ParseIpv4("127.0.0.1"), 7001};
    RunPairs(
        state, "Construction", [&](uint32_t) { return TimeRawGeneration(rng); },
        [&](uint32_t) {
            std::optional<EncryptionContext> context;
            const double seconds = Time([&] { context.emplace(own, list); });
            return seconds;  // the destruction is not timed
        });
}

BENCHMARK(BM_RawEncryptChunk)->Unit(benchmark::kMicrosecond)->UseManualTime();
BENCHMARK(BM_RawDecryptBlock)->Unit(benchmark::kMicrosecond)->UseRealTime()->Threads(1)->Threads(2);
BENCHMARK(BM_WrapMessage)->Arg(1)->Arg(3)->Arg(8)->Unit(benchmark::kMicrosecond)->UseManualTime();
BENCHMARK(BM_Unwrap)->Arg(1)->Arg(3)->Arg(8)->Unit(benchmark::kMicrosecond)->UseManualTime();
// A fixed count: the check's own time is tiny, and each pair also makes and opens a packet.
BENCHMARK(BM_ReplayCheck)->Iterations(200)->Unit(benchmark::kMicrosecond)->UseManualTime();
BENCHMARK(BM_KeyPairVsRawSameKeys)
    ->Iterations(kSeededKeyPairs)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(BM_ContextOnGivenKeyPair)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ConstructionVsRawFreshKeys)
    ->Iterations(kFreshKeyPairs)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

// Keeps the seconds per iteration of every run: the mean over repetitions when the runs have
// one, else the average of the runs. Names carry the argument and thread count.
class TimesReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty()) {
                name += "/" + run.run_name.args;
            }
            name += "/threads:" + std::to_string(run.threads);
            const double seconds =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (run.run_type == Run::RT_Iteration) {
                m_runs[name].push_back(seconds);
            } else if (run.aggregate_name == "mean") {
                m_means[name] = seconds;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // Seconds per iteration of `name` run on `threads` threads, if it ran.
    std::optional<double> Seconds(const std::string& name, int threads = 1) const {
        const std::string key = name + "/threads:" + std::to_string(threads);
        if (auto mean = m_means.find(key); mean != m_means.end()) {
            return mean->second;
        }
        auto found = m_runs.find(key);
        if (found == m_runs.end()) {
            return std::nullopt;
        }
        double sum = 0;
        for (double seconds : found->second) {
            sum += seconds;
        }
        return sum / static_cast<double>(found->second.size());
    }

  private:
    std::map<std::string, std::vector<double>> m_runs;
    std::map<std::string, double> m_means;
};

// Means of a set of pairs, and their ratio with one standard error (from the spread of the
// pairs' differences).
struct PairSummary {
    size_t pairs = 0;
    double floorMean = 0;
    double operationMean = 0;
    double ratio = 0;
    double ratioError = 0;
};

std::optional<PairSummary> Summarize(const std::string& name) {
    auto found = g_pairs.find(name);
    if (found == g_pairs.end() || found->second.floor.size() < 2) {
        return std::nullopt;
    }
    const PairedTimes& times = found->second;
    PairSummary summary;
    summary.pairs = times.floor.size();
    const auto count = static_cast<double>(summary.pairs);
    for (size_t index = 0; index < summary.pairs; ++index) {
        summary.floorMean += times.floor[index] / count;
        summary.operationMean += times.operation[index] / count;
    }
    double squares = 0;
    for (size_t index = 0; index < summary.pairs; ++index) {
        const double deviation = times.operation[index] - times.floor[index] -
                                 (summary.operationMean - summary.floorMean);
        squares += deviation * deviation;
    }
    summary.ratio = summary.operationMean / summary.floorMean;
    summary.ratioError = std::sqrt(squares / (count - 1) / count) / summary.floorMean;
    return summary;
}

void PrintPaired(const std::string& name, const char* what, const char* target) {
    if (const std::optional<PairSummary> summary = Summarize(name)) {
        std::printf("  %-16s %-22s %10.1f us vs floor %10.1f us: ratio %.3f +- %.3f  (target %s)\n",
                    name.c_str(), what, summary->operationMean * 1e6, summary->floorMean * 1e6,
                    summary->ratio, summary->ratioError, target);
    }
}

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string line;
    std::getline(file, line);
    return line;
}

void PrintRatios(const TimesReporter& reporter) {
    std::printf("\nRatios to the floor, from pairs timed back to back (+- one standard error):\n");
    for (const uint32_t hops : kHopCounts) {
        const std::string what = std::to_string(mf::ChunksToWrap(hops)) + " chunks";
        PrintPaired(Named("WrapMessage", hops), what.c_str(), "<= 1.25");
    }
    for (const uint32_t hops : kHopCounts) {
        const size_t blocks =
            (mf::ForwardPacketSize(hops) - mf::kForwardLayerOffset) / mf::kBlockSize;
        const std::string what = std::to_string(blocks) + " blocks";
        PrintPaired(Named("Unwrap", hops), what.c_str(),
                    hops == 1   ? "<= 1.10"
                    : hops == 3 ? "<= 0.65 on 2 cores"
                                : "<= 0.55 on 2 cores");
    }
    PrintPaired("Replay check", "vs Unwrap of 2 blocks", "<= 0.01");
    std::printf("  (the store holds %zu digests in %zu bytes at most)\n", OpenedLayers::kCapacity,
                OpenedLayers::kMaxMemoryBytes);
    const std::optional<double> oneCore = reporter.Seconds("BM_RawDecryptBlock", 1);
    const std::optional<double> twoCores = reporter.Seconds("BM_RawDecryptBlock", 2);
    if (oneCore && twoCores) {
        std::printf(
            "  Raw decryption on two cores at once: a block every %.1f us (%.1f us on each core),"
            " against %.1f us alone;\n  the best ratio two cores give now is %.3f\n",
            *twoCores * 1e6, 2 * *twoCores * 1e6, *oneCore * 1e6, *twoCores / *oneCore);
    }

    std::printf("\nConstruction against raw key generation:\n");
    PrintPaired("KeyPair", "same keys", "-");
    const std::optional<PairSummary> sameKeys = Summarize("KeyPair");
    const std::optional<double> rest = reporter.Seconds("BM_ContextOnGivenKeyPair");
    if (sameKeys && rest) {
        std::printf(
            "  the rest of construction %.1f us; construction / raw generation = %.4f "
            "(target <= 1.05)\n",
            *rest * 1e6, (sameKeys->operationMean + *rest) / sameKeys->floorMean);
    }
    PrintPaired("Construction", "fresh keys", "<= 1.05");
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    std::printf("load average at start: %s\n", LoadAverage().c_str());
    TimesReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter);
    std::printf("load average at end: %s\n", LoadAverage().c_str());
    benchmark::Shutdown();
    return 0;
}
