// The round trip of a message and its reply across four parlons on loopback, at hop count 3
// with a poll period of 10 ms and a reply time of 0, beside the two parts it cannot be faster
// than: the ticks it waits for and its cryptography.
//
// The nodes run in this process: four CliNodes (the headless node's own host, timers and
// session), each on an io_context and a thread of its own, with real listeners and real TCP
// between them, registered at an in-process center (CenterThread). The sender's message is
// typed as a terminal user types it ("send ROW TEXT"); every node answers with an automatic
// reply, which with a reply time of 0 is queued the moment the message is shown.
//
// Ticks waited: a message queued between two ticks of the sender waits for the next one, then
// each hop waits for the receiver's next tick: 1 + 3 out + 3 back = 7, so the timers account for
// at most 7 periods (70 ms). How much of that is spent depends on the phases of the parlons'
// poll timers: the sender's wait is half a period on average, and a hop waits little when the
// receiver's tick comes soon after the tick that sent it. The share is therefore measured: the
// round trip is run at poll periods of 10, 20, 30 and 40 ms, and the line through the four
// means gives the periods waited (its slope) and the part that does not depend on the timers
// (its value at period 0), of which the crypto floor is the known part and the rest overhead.
//
// The crypto floor is the same round trip's cryptography alone (BM_CryptoRoundTrip: one
// WrapMessage at hop count 3, the six Unwraps and the WrapReply, on four EncryptionContexts
// called from one thread, no network, no timers); crypto_bench measures its parts one by one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "center/center_thread.h"
#include "common/text_field.h"
#include "common/utf8_text.h"
#include "crypto/encryption_context.h"
#include "support/node_thread.h"

namespace parlon {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using test::NodeThread;

constexpr uint32_t kHopCount = 3;
constexpr uint32_t kPollPeriodMs = 10;  // the period the figures are reported for
constexpr int kNodes = 4;
constexpr int kMessages = 40;
constexpr int kTicksWaited = 1 + 2 * static_cast<int>(kHopCount);

// The figures the summary prints after the runs.
struct Figures {
    std::map<uint32_t, std::vector<double>> roundTripsMs;  // by poll period
    double cryptoFloorMs = 0;
} g_figures;

double Mean(const std::vector<double>& values) {
    double sum = 0;
    for (double value : values) {
        sum += value;
    }
    return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void BM_RoundTripFourNodes(benchmark::State& state) {
    CenterSettings settings;
    settings.hopCount = kHopCount;
    const auto pollPeriodMs = static_cast<uint32_t>(state.range(0));
    settings.pollPeriod = pollPeriodMs;
    settings.replyTime = 0;
    settings.registerPeriod = 2000;
    settings.switchPeriod = 1000;
    settings.expire = 30000;
    std::string error;
    const std::unique_ptr<CenterThread> center =
        CenterThread::Start(settings, error, [](const std::string&) {});
    if (center == nullptr) {
        state.SkipWithError(("no center: " + error).c_str());
        return;
    }
    std::vector<std::unique_ptr<NodeThread>> nodes;
    for (int i = 0; i < kNodes; ++i) {
        nodes.push_back(
            std::make_unique<NodeThread>("node" + std::to_string(i), center->Address(), "ok"));
    }
    // Each node has shown a list of all of them.
    const auto listsAll = [](const std::vector<NodeEvent>& events) {
        const auto last = std::find_if(events.rbegin(), events.rend(), [](const NodeEvent& e) {
            return std::holds_alternative<ListEvent>(e);
        });
        return last != events.rend() && std::get<ListEvent>(*last).parlons.size() == kNodes;
    };
    for (auto& node : nodes) {
        if (!node->WaitFor(listsAll, 60s)) {
            state.SkipWithError("the nodes never listed each other");
            return;
        }
    }
    NodeThread& sender = *nodes.front();
    const std::optional<uint32_t> row = sender.RowOf("node" + std::to_string(kNodes - 1));
    if (!row) {
        state.SkipWithError("the addressee is not in the sender's list");
        return;
    }
    const auto replies = [](const std::vector<NodeEvent>& events) {
        return NodeThread::CountIn<ReplyEvent>(events, [](const ReplyEvent&) { return true; });
    };

    std::vector<double>& roundTripsMs = g_figures.roundTripsMs[pollPeriodMs];
    roundTripsMs.clear();
    std::mt19937 random(1);  // the same pauses in every run
    std::uniform_int_distribution<int> pauseUs(0, static_cast<int>(pollPeriodMs) * 1000 - 1);
    int sent = 0;
    for (auto _ : state) {
        // A user types at any moment, not just after a tick of the sender (which is when the
        // previous reply was shown): the pause puts the message at a random point of the period.
        std::this_thread::sleep_for(std::chrono::microseconds(pauseUs(random)));
        const size_t repliesBefore = replies(sender.Events());
        const auto start = Clock::now();
        sender.Type("send " + std::to_string(*row) + " message " + std::to_string(++sent));
        if (!sender.WaitFor([&](const auto& events) { return replies(events) > repliesBefore; },
                            10s)) {
            state.SkipWithError("a reply did not come back within 10 s");
            return;
        }
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        state.SetIterationTime(elapsed.count());
        roundTripsMs.push_back(elapsed.count() * 1000);
    }
}

// The cryptography of one round trip, on four contexts routing over one list.
void BM_CryptoRoundTrip(benchmark::State& state) {
    std::vector<ParlonEntry> parlons(kNodes);
    std::vector<std::unique_ptr<EncryptionContext>> contexts;
    for (int i = 0; i < kNodes; ++i) {
        ParlonEntry& entry = parlons[static_cast<size_t>(i)];
        entry.ip = ParseIpv4("127.0.0.1");
        entry.port = static_cast<uint16_t>(9000 + i);
        entry.SetNickname("node" + std::to_string(i));
        contexts.push_back(std::make_unique<EncryptionContext>(entry.Address(), parlons));
    }
    for (int i = 0; i < kNodes; ++i) {
        parlons[static_cast<size_t>(i)].SetPublicKey(
            contexts[static_cast<size_t>(i)]->GetPublicKey());
        contexts[static_cast<size_t>(i)]->SetHopCount(kHopCount);
    }
    const auto contextAt = [&](const PeerAddress& address) -> EncryptionContext& {
        return *contexts[static_cast<size_t>(address.port - 9000)];
    };
    const TextField message = MakeTextField(QueuedText("message").Bytes());
    const TextField reply = MakeTextField(QueuedText("ok").Bytes());

    std::vector<double> timesMs;
    for (auto _ : state) {
        const auto start = Clock::now();
        PeerAddress hop;
        std::optional<ByteBuffer> packet =
            contexts.front()->WrapMessage(message, static_cast<uint32_t>(kNodes - 1), hop);
        for (int step = 0; packet && step < 4 * kNodes; ++step) {
            PeerAddress next;
            ReplyHandle received;
            const PeerAddress at = hop;
            // Every parlon is on 127.0.0.1: a packet comes from there.
            const std::optional<ByteBuffer> inner =
                contextAt(at).Unwrap(*packet, at, next, received);
            if (!inner || (next.IsNone() && !received.NamesARecord())) {
                packet = inner;  // the reply has come home (or the round trip broke)
                break;
            }
            if (!next.IsNone()) {
                packet = inner;
                hop = next;
            } else {
                packet = contextAt(at).WrapReply(reply, received, hop);
            }
        }
        if (!packet || packet->Length() != 2 * kTextFieldSize) {
            state.SkipWithError("the round trip did not end with the reply at the sender");
            return;
        }
        timesMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    g_figures.cryptoFloorMs = Median(timesMs);
}

// Least squares line through (period, mean round trip): {slope, value at period 0}.
std::pair<double, double> FitLine(const std::vector<std::pair<double, double>>& points) {
    double meanX = 0;
    double meanY = 0;
    for (const auto& [x, y] : points) {
        meanX += x / static_cast<double>(points.size());
        meanY += y / static_cast<double>(points.size());
    }
    double covariance = 0;
    double variance = 0;
    for (const auto& [x, y] : points) {
        covariance += (x - meanX) * (y - meanY);
        variance += (x - meanX) * (x - meanX);
    }
    const double slope = variance > 0 ? covariance / variance : 0;
    return {slope, meanY - slope * meanX};
}

void PrintSummary() {
    const auto reported = g_figures.roundTripsMs.find(kPollPeriodMs);
    if (reported == g_figures.roundTripsMs.end() || reported->second.empty()) {
        return;
    }
    std::vector<double> times = reported->second;
    std::sort(times.begin(), times.end());
    const auto at = [&](double q) {
        return times[static_cast<size_t>(q * static_cast<double>(times.size() - 1))];
    };
    std::printf(
        "\nRound trip, %d nodes on loopback, hop count %u, poll period %u ms, reply time 0, "
        "%zu messages:\n",
        kNodes, kHopCount, kPollPeriodMs, times.size());
    std::printf("  median %.1f ms   (min %.1f, p90 %.1f, max %.1f)\n", Median(times), times.front(),
                at(0.9), times.back());
    std::printf("  timers:       %d ticks waited, at most %d ms\n", kTicksWaited,
                kTicksWaited * static_cast<int>(kPollPeriodMs));
    std::vector<std::pair<double, double>> points;
    std::printf("  means by poll period:");
    for (const auto& [period, trips] : g_figures.roundTripsMs) {
        if (!trips.empty()) {
            points.emplace_back(period, Mean(trips));
            std::printf("   %u ms: %.1f ms", period, Mean(trips));
        }
    }
    std::printf("\n");
    if (points.size() < 2) {
        return;
    }
    const auto [periodsWaited, timerFree] = FitLine(points);
    std::printf(
        "  measured:     %.2f periods waited (%.1f ms at %u ms) + %.1f ms not from the timers\n",
        periodsWaited, periodsWaited * kPollPeriodMs, kPollPeriodMs, timerFree);
    std::printf("  crypto floor: %.1f ms (median of BM_CryptoRoundTrip)\n",
                g_figures.cryptoFloorMs);
    std::printf(
        "  overhead:     %.1f ms (transport, threads, queues, events: the part not from the "
        "timers less the crypto floor)\n",
        timerFree - g_figures.cryptoFloorMs);
}

BENCHMARK(BM_CryptoRoundTrip)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);
BENCHMARK(BM_RoundTripFourNodes)
    ->Arg(kPollPeriodMs)
    ->Arg(2 * kPollPeriodMs)
    ->Arg(3 * kPollPeriodMs)
    ->Arg(4 * kPollPeriodMs)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(kMessages);

}  // namespace
}  // namespace parlon

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    parlon::PrintSummary();
    return 0;
}
