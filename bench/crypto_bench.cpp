// Message cryptography against the raw Crypto++ operations it is built on, in one run.
//
// Measures RSA-2048 OAEP encryption of one 213-byte chunk and decryption of one 256-byte
// block on one core, key generation, EncryptionContext construction, and WrapMessage and
// Unwrap at hop counts 1, 3 and 8. After the runs it prints each operation's time as a ratio
// to its floor: WrapMessage to (chunks encrypted x raw encryption), Unwrap of the outermost
// layer to (its blocks x raw decryption on one core), construction to raw key generation.
//
// Key generation time varies a lot from key to key, so construction is compared with raw
// generation in pairs, each pair timed back to back with the order alternating: over the same
// keys (a seeded generator gives KeyPair and raw generation identical prime searches; the
// rest of construction is timed on its own, on a given pair), and over fresh keys from the
// system's generator with the real constructor.
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

// One raw key and its OAEP objects, as a parlon's would be.
struct RawKey {
    RawKey() : decryptor(rng, mf::kModulusBits, mf::kPublicExponent), encryptor(decryptor) {
        rng.GenerateBlock(chunk.data(), chunk.size());
        encryptor.Encrypt(rng, chunk.data(), chunk.size(), block.data());
    }
    CryptoPP::AutoSeededRandomPool rng;
    CryptoPP::RSAES_OAEP_SHA_Decryptor decryptor;
    CryptoPP::RSAES_OAEP_SHA_Encryptor encryptor;
    std::array<uint8_t, mf::kChunkSize> chunk{};
    std::array<uint8_t, mf::kBlockSize> block{};
};

RawKey& Raw() {
    static RawKey raw;
    return raw;
}

// A sender and a receiver sharing a list of two.
struct TwoParlons {
    TwoParlons() {
        for (uint16_t index = 0; index < 2; ++index) {
            ParlonEntry entry;
            entry.ip = ParseIpv4("127.0.0.1");
            entry.port = static_cast<uint16_t>(7001 + index);
            contexts[index] = std::make_unique<EncryptionContext>(entry.Address(), &list);
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

void BM_RawEncryptChunk(benchmark::State& state) {
    RawKey& raw = Raw();
    std::array<uint8_t, mf::kBlockSize> block{};
    for (auto _ : state) {
        raw.encryptor.Encrypt(raw.rng, raw.chunk.data(), raw.chunk.size(), block.data());
        benchmark::DoNotOptimize(block);
    }
}

void BM_RawDecryptBlock(benchmark::State& state) {
    RawKey& raw = Raw();
    std::array<uint8_t, mf::kMaxBlockPlaintext> chunk{};
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            raw.decryptor.Decrypt(raw.rng, raw.block.data(), raw.block.size(), chunk.data()));
    }
}

void BM_WrapMessage(benchmark::State& state) {
    TwoParlons& parlons = Parlons();
    parlons.Sender().SetHopCount(static_cast<uint32_t>(state.range(0)));
    PeerAddress firstHop;
    for (auto _ : state) {
        benchmark::DoNotOptimize(parlons.Sender().WrapMessage(kText, 1, firstHop));
    }
}

void BM_Unwrap(benchmark::State& state) {
    TwoParlons& parlons = Parlons();
    parlons.Sender().SetHopCount(static_cast<uint32_t>(state.range(0)));
    // A packet whose outermost layer is the receiver's (relays are drawn from both parlons).
    std::optional<ByteBuffer> packet;
    PeerAddress firstHop;
    do {
        packet = parlons.Sender().WrapMessage(kText, 1, firstHop);
    } while (!packet || firstHop != parlons.list[1].Address());
    for (auto _ : state) {
        PeerAddress nextHop;
        uint32_t messageId = 0;
        if (!parlons.Receiver().Unwrap(*packet, nextHop, messageId)) {
            state.SkipWithError("Unwrap dropped a well-formed packet");
            break;
        }
    }
}

// Times of raw key generation and of what wraps it, taken in pairs.
struct PairedTimes {
    std::vector<double> raw;
    std::vector<double> wrapped;
};
PairedTimes g_sameKeys;
PairedTimes g_freshKeys;

// Runs `raw` and `wrapped` once per iteration, back to back, alternating which goes first so
// that a drift of the machine's speed falls on both alike. Repetitions add to `times`.
template <typename Raw, typename Wrapped>
void RunPairs(benchmark::State& state, PairedTimes& times, Raw raw, Wrapped wrapped) {
    for (auto _ : state) {
        const uint32_t pair = static_cast<uint32_t>(times.raw.size());
        double rawSeconds = 0;
        double wrappedSeconds = 0;
        if (pair % 2 == 0) {
            rawSeconds = raw(pair);
            wrappedSeconds = wrapped(pair);
        } else {
            wrappedSeconds = wrapped(pair);
            rawSeconds = raw(pair);
        }
        times.raw.push_back(rawSeconds);
        times.wrapped.push_back(wrappedSeconds);
        state.SetIterationTime(rawSeconds + wrappedSeconds);
    }
}

double TimeRawGeneration(CryptoPP::RandomNumberGenerator& rng) {
    const Clock::time_point start = Clock::now();
    CryptoPP::InvertibleRSAFunction key;
    key.Initialize(rng, mf::kModulusBits, mf::kPublicExponent);
    benchmark::DoNotOptimize(key);
    return SecondsSince(start);
}

// Raw generation and KeyPair over the same key: pair i uses seed i for both.
void BM_KeyPairVsRawSameKeys(benchmark::State& state) {
    RunPairs(
        state, g_sameKeys,
        [](uint32_t seed) {
            SeededGenerator rng(seed);
            return TimeRawGeneration(rng.Get());
        },
        [](uint32_t seed) {
            SeededGenerator rng(seed);
            const Clock::time_point start = Clock::now();
            KeyPair pair(rng.Get());
            benchmark::DoNotOptimize(pair);
            return SecondsSince(start);
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
        EncryptionContext context(own, &list, keys,
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
        state, g_freshKeys, [&](uint32_t) { return TimeRawGeneration(rng); },
        [&](uint32_t) {
            std::optional<EncryptionContext> context;
            const Clock::time_point start = Clock::now();
            context.emplace(own, &list);
            return SecondsSince(start);  // the destruction is not timed
        });
}

BENCHMARK(BM_RawEncryptChunk)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_RawDecryptBlock)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_WrapMessage)->Arg(1)->Arg(3)->Arg(8)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Unwrap)->Arg(1)->Arg(3)->Arg(8)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_KeyPairVsRawSameKeys)
    ->Iterations(kSeededKeyPairs)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(BM_ContextOnGivenKeyPair)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_ConstructionVsRawFreshKeys)
    ->Iterations(kFreshKeyPairs)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

// Keeps the seconds per iteration of every run for the ratios: the mean over repetitions
// when the runs have one, else the average of the runs.
class RatioReporter : public benchmark::ConsoleReporter {
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

    // Seconds per iteration of `name`, if it ran.
    std::optional<double> Seconds(const std::string& name) const {
        if (auto mean = m_means.find(name); mean != m_means.end()) {
            return mean->second;
        }
        auto found = m_runs.find(name);
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

std::string LoadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string line;
    std::getline(file, line);
    return line;
}

// Means of a set of pairs, and their ratio with one standard error (from the spread of the
// pairs' differences).
struct PairSummary {
    size_t pairs = 0;
    double rawMean = 0;
    double wrappedMean = 0;
    double ratio = 0;
    double ratioError = 0;
};

std::optional<PairSummary> Summarize(const PairedTimes& times) {
    const size_t pairs = times.raw.size();
    if (pairs < 2) {
        return std::nullopt;
    }
    PairSummary summary;
    summary.pairs = pairs;
    for (size_t index = 0; index < pairs; ++index) {
        summary.rawMean += times.raw[index] / static_cast<double>(pairs);
        summary.wrappedMean += times.wrapped[index] / static_cast<double>(pairs);
    }
    double squares = 0;
    for (size_t index = 0; index < pairs; ++index) {
        const double deviation =
            times.wrapped[index] - times.raw[index] - (summary.wrappedMean - summary.rawMean);
        squares += deviation * deviation;
    }
    const double meanDifferenceError =
        std::sqrt(squares / static_cast<double>(pairs - 1) / static_cast<double>(pairs));
    summary.ratio = summary.wrappedMean / summary.rawMean;
    summary.ratioError = meanDifferenceError / summary.rawMean;
    return summary;
}

void PrintRatios(const RatioReporter& reporter) {
    const std::optional<double> encrypt = reporter.Seconds("BM_RawEncryptChunk");
    const std::optional<double> decrypt = reporter.Seconds("BM_RawDecryptBlock");
    std::printf("\nRatios to the floor (raw encrypt %.1f us, raw decrypt %.1f us on one core):\n",
                encrypt.value_or(0) * 1e6, decrypt.value_or(0) * 1e6);
    for (const uint32_t hops : kHopCounts) {
        const std::string arg = "/" + std::to_string(hops);
        if (const auto wrap = reporter.Seconds("BM_WrapMessage" + arg); wrap && encrypt) {
            const size_t chunks = mf::ChunksToWrap(hops);
            std::printf("  WrapMessage hop %u: %zu chunks, %.1f us, ratio %.3f (target <= 1.25)\n",
                        hops, chunks, *wrap * 1e6,
                        *wrap / (static_cast<double>(chunks) * *encrypt));
        }
    }
    for (const uint32_t hops : kHopCounts) {
        const std::string arg = "/" + std::to_string(hops);
        if (const auto unwrap = reporter.Seconds("BM_Unwrap" + arg); unwrap && decrypt) {
            const size_t blocks =
                (mf::ForwardPacketSize(hops) - mf::kForwardLayerOffset) / mf::kBlockSize;
            const char* target = hops == 1   ? "<= 1.10"
                                 : hops == 3 ? "<= 0.65 on 2 cores"
                                             : "<= 0.55 on 2 cores";
            std::printf("  Unwrap hop %u: %zu blocks, %.1f us, ratio %.3f (target %s)\n", hops,
                        blocks, *unwrap * 1e6, *unwrap / (static_cast<double>(blocks) * *decrypt),
                        target);
        }
    }

    const std::optional<double> rest = reporter.Seconds("BM_ContextOnGivenKeyPair");
    if (const std::optional<PairSummary> same = Summarize(g_sameKeys); same && rest) {
        std::printf(
            "\nKey generation over the same %zu keys: raw %.2f ms, KeyPair %.2f ms "
            "(ratio %.4f +- %.4f); the rest of construction %.1f us\n"
            "  construction / raw generation = %.4f (target <= 1.05)\n",
            same->pairs, same->rawMean * 1e3, same->wrappedMean * 1e3, same->ratio,
            same->ratioError, *rest * 1e6, (same->wrappedMean + *rest) / same->rawMean);
    }
    if (const std::optional<PairSummary> fresh = Summarize(g_freshKeys)) {
        std::printf(
            "Key generation over %zu fresh keys: raw %.2f ms, construction %.2f ms, "
            "ratio %.3f +- %.3f\n",
            fresh->pairs, fresh->rawMean * 1e3, fresh->wrappedMean * 1e3, fresh->ratio,
            fresh->ratioError);
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    std::printf("load average at start: %s\n", LoadAverage().c_str());
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter);
    std::printf("load average at end: %s\n", LoadAverage().c_str());
    benchmark::Shutdown();
    return 0;
}
