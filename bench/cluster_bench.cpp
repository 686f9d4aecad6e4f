// A center whose list is kept in a Redis store (a redis-server of the benchmark's own on
// loopback) against the same center keeping its list in memory, at 10 and 1000 registered
// parlons: registrations (renewals, the steady state of a network) per second and reply bytes
// per second, each through a real CenterConnection. The in-memory figures run first and leave
// their rates, so every store figure carries its ratio vs_memory.
// Propagation: a new parlon registers at one center; the time from its reply until a
// registration at a second center over the same store lists it.
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "center/center_thread.h"
#include "center/redis_registry_store.h"
#include "net/center_connection.h"
#include "net/wire_format.h"
#include "support/redis_server.h"
#include "support/test_support.h"

namespace parlon {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

ParlonEntry BenchEntry(uint32_t index) {
    ParlonEntry entry;
    entry.ip = ParseIpv4("127.0.0.1");
    entry.port = static_cast<uint16_t>(10000 + index);
    std::string nickname = "p";
    nickname += std::to_string(index);
    entry.SetNickname(nickname);
    entry.SetPublicKey(test::KeyText(0));  // the center lists only real keys; one serves all
    return entry;
}

CenterSettings BenchSettings() {
    CenterSettings settings;
    settings.expire = 3600 * 1000;  // nothing expires during a run
    // Every entry comes from 127.0.0.1, as fast as the benchmark can register them.
    settings.admission.maxPerAddress = 100000;
    settings.changesPerMinute = 100000000;
    return settings;
}

test::RedisServer& Redis() {
    static test::RedisServer redis;
    return redis;
}

std::unique_ptr<CenterThread> StartCenter(bool withStore) {
    std::string error;
    std::unique_ptr<RegistryStore> store;
    if (withStore) {
        store = std::make_unique<RedisRegistryStore>(
            RedisRegistryStore::Options{*ParseStoreAddress(Redis().Address()), BenchSettings()},
            [](const std::string&) {});
    }
    return CenterThread::Start(BenchSettings(), error, {}, CenterThread::LoopbackAnyPort(),
                               std::move(store));
}

// A center with `parlons` registered (one of them BenchEntry(0)), each through a link that
// signs off when the populated center goes.
struct PopulatedCenter {
    std::unique_ptr<CenterThread> center;
    std::vector<std::unique_ptr<CenterConnection>> links;  // destroyed first
};

// The store is emptied first.
PopulatedCenter CenterWith(bool withStore, int64_t parlons) {
    if (withStore) {
        std::string error;
        auto connection = RedisConnection::Open("127.0.0.1", Redis().Port(), 1s, error);
        if (connection != nullptr) {
            RedisReply flushed = connection->Command({"FLUSHALL"});
        }
    }
    PopulatedCenter populated{StartCenter(withStore), {}};
    std::vector<ParlonEntry> list;
    CenterSchedule schedule;
    for (uint32_t index = 0; index < parlons; ++index) {
        populated.links.push_back(
            std::make_unique<CenterConnection>(BenchEntry(index), populated.center->Address()));
        if (!populated.links.back()->Register(list, schedule)) {
            break;  // the benchmark finds the list short and says so
        }
    }
    return populated;
}

std::map<int64_t, double> g_memoryRate;  // registrations per second in memory, by parlons

void Registrations(benchmark::State& state, bool withStore) {
    if (withStore && !Redis().Running()) {
        state.SkipWithError(Redis().Error().c_str());
        return;
    }
    const int64_t parlons = state.range(0);
    const PopulatedCenter populated = CenterWith(withStore, parlons);
    CenterConnection link(BenchEntry(0), populated.center->Address());  // a renewal each time
    std::vector<ParlonEntry> list;
    CenterSchedule schedule;
    const auto started = Clock::now();
    for (auto _ : state) {
        if (!link.Register(list, schedule) || list.size() != static_cast<size_t>(parlons)) {
            state.SkipWithError("the reply does not list every registered parlon");
            break;
        }
    }
    const std::chrono::duration<double> elapsed = Clock::now() - started;
    const double rate = static_cast<double>(state.iterations()) / elapsed.count();
    const auto replyBytes =
        static_cast<int64_t>(kReplyEntriesOffset + static_cast<size_t>(parlons) * kParlonEntrySize);
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * replyBytes);
    if (!withStore) {
        g_memoryRate[parlons] = rate;
    } else if (g_memoryRate[parlons] > 0) {
        state.counters["vs_memory"] = rate / g_memoryRate[parlons];
    }
}

void MemoryCenterRegistrations(benchmark::State& state) {
    Registrations(state, false);
}
BENCHMARK(MemoryCenterRegistrations)->Arg(10)->Arg(1000)->UseRealTime();

void StoreCenterRegistrations(benchmark::State& state) {
    Registrations(state, true);
}
BENCHMARK(StoreCenterRegistrations)->Arg(10)->Arg(1000)->UseRealTime();

// Per iteration: a new parlon registers at the first center; the second center is asked until
// it lists it. The manual time is from the first reply to the second center's listing; the
// parlon then signs off, so the list stays at 10.
void Propagation(benchmark::State& state) {
    if (!Redis().Running()) {
        state.SkipWithError(Redis().Error().c_str());
        return;
    }
    const PopulatedCenter first = CenterWith(true, 9);
    const std::unique_ptr<CenterThread> second = StartCenter(true);
    CenterConnection asker(BenchEntry(1), second->Address());
    std::vector<ParlonEntry> list;
    CenterSchedule schedule;
    uint32_t index = 100;
    int64_t asked = 0;
    for (auto _ : state) {
        const ParlonEntry entry = BenchEntry(index++);
        auto newcomer = std::make_unique<CenterConnection>(entry, first.center->Address());
        if (!newcomer->Register(list, schedule)) {
            state.SkipWithError("the first center did not answer");
            break;
        }
        const auto registered = Clock::now();
        bool listed = false;
        while (!listed) {
            if (!asker.Register(list, schedule)) {
                state.SkipWithError("the second center did not answer");
                return;
            }
            ++asked;
            for (const ParlonEntry& listedEntry : list) {
                listed = listed || listedEntry.port == entry.port;
            }
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - registered).count());
        newcomer.reset();  // signs off
    }
    state.counters["asked_per_listing"] =
        static_cast<double>(asked) / static_cast<double>(state.iterations());
}
BENCHMARK(Propagation)->UseManualTime()->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace parlon

BENCHMARK_MAIN();
