// What a next hop that never completes its connect (a host that vanished: here a listening
// socket whose backlog is full) costs the parlons around it: the longest poll tick of the
// sender and of a relay, and the delay it adds to an unrelated message.
//
// Four parlons run in this process, each a ParlonSession on a thread of its own whose host
// fires the session's timers from the wall clock, at an in-process center (hop count 1 for the
// sender's rows and 2 for the relay's, each on a network of its own; poll period 20 ms, reply
// time 0; every parlon answers a message the moment it shows). Once every
// list names all four, X's session ends and a silent port takes its place.
//
//   sender: S sends to X and, right behind it, to D; figures: S's longest tick and the round
//           trip S -> D -> S, against the same round trip with nothing sent to X.
//   relay:  a two-layer packet S' -> R -> X (S' being a key pair of the benchmark's own) is put
//           into R's queue, and right behind it one S' -> R -> D; figures: R's longest tick and
//           the time until D shows the second, against the same with no packet for X.
//
// Usage: stall_bench [ROUNDS]   (default 3; each round waits out the silent connect)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench_center.h"
#include "center/center_thread.h"
#include "common/text_field.h"
#include "common/utf8_text.h"
#include "crypto/encryption_context.h"
#include "queue/guarded_queue.h"
#include "session/parlon_session.h"
#include "support/temp_dir.h"
#include "support/test_support.h"

namespace parlon {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double Ms(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

// One parlon on its own thread: a host whose timers run from the wall clock, the longest poll
// tick it has seen, and the times at which its answer and view forms opened.
class Node : public SessionHost {
  public:
    Node(std::string nickname, const PeerAddress& center, const test::TempDir& dir) {
        SessionServices services = SessionServices::Real();
        services.incoming = &incoming;
        m_session = std::make_unique<ParlonSession>(
            *this, std::make_unique<ActivityLog>(dir.Path() / (nickname + ".log")),
            std::move(services),
            ParlonSettings{test::UnusedPort().port, ParseIpv4("127.0.0.1"), nickname, center});
        m_session->Start();
        m_thread = std::thread([this] { Run(); });
    }
    ~Node() override {
        m_stop = true;
        m_thread.join();
        m_session.reset();
    }

    // Runs `task` on the node's thread, before its next timer.
    void Post(std::function<void(ParlonSession&)> task) {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    std::vector<ParlonEntry> Active() {
        std::lock_guard lock(m_mutex);
        return m_active;
    }
    // The longest poll tick since the last call.
    Clock::duration TakeLongestTick() {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_longestTick, Clock::duration{});
    }
    // When the form showing `text` (a message, or a reply to our message) opened.
    std::optional<Clock::time_point> ShownAt(const std::string& text) {
        std::lock_guard lock(m_mutex);
        const auto found = m_shown.find(text);
        return found == m_shown.end() ? std::nullopt : std::optional(found->second);
    }

    GuardedQueue incoming;

    // SessionHost, on the node's thread.
    bool ReadFields(UserFields&) override { return true; }
    void InitFields(const std::string&, const UserFields&) override {}
    void ShowStatus(const std::string&, const std::string&, uint16_t) override {}
    void EnableConnect(bool) override {}
    void SetTimer(uint32_t id, uint32_t periodMs) override {
        m_timers[id] = {std::chrono::milliseconds(periodMs),
                        Clock::now() + std::chrono::milliseconds(periodMs)};
    }
    void KillTimer(uint32_t id) override { m_timers.erase(id); }
    void RebuildListView(const std::vector<ParlonEntry>& parlons) override {
        std::lock_guard lock(m_mutex);
        m_active = parlons;
    }
    void OpenAnswerForm(const ByteBuffer& text, const ReplyHandle& handle, int32_t) override {
        const std::string message(FieldText(MakeTextField(text.Bytes())));
        Shown(message);
        m_session->QueueReply(handle, QueuedText("re: " + message));
    }
    void OpenViewForm(const ByteBuffer& result) override {
        Shown(std::string(FieldText(MakeTextField(result.Bytes()))));
    }
    void Notify(const SessionEvent&) override {}

  private:
    struct Timer {
        Clock::duration period;
        Clock::time_point due;
    };

    void Shown(const std::string& text) {
        std::lock_guard lock(m_mutex);
        m_shown.emplace(text, Clock::now());
    }

    void Run() {
        m_session->OnConnect();
        while (!m_stop) {
            std::vector<std::function<void(ParlonSession&)>> tasks;
            {
                std::lock_guard lock(m_mutex);
                tasks.swap(m_tasks);
            }
            for (auto& task : tasks) {
                task(*m_session);
            }
            const Clock::time_point now = Clock::now();
            for (auto it = m_timers.begin(); it != m_timers.end();) {
                const uint32_t id = it->first;
                if (it->second.due > now) {
                    ++it;
                    continue;
                }
                it->second.due = now + it->second.period;
                const Clock::time_point started = Clock::now();
                m_session->OnTimer(id);  // may set or kill timers: look the map up afresh
                const Clock::duration took = Clock::now() - started;
                if (id == kPollTimer) {
                    std::lock_guard lock(m_mutex);
                    m_longestTick = std::max(m_longestTick, took);
                }
                it = m_timers.upper_bound(id);
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    std::unique_ptr<ParlonSession> m_session;
    std::map<uint32_t, Timer> m_timers;  // the node's thread only
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::vector<std::function<void(ParlonSession&)>> m_tasks;  // guarded by m_mutex
    std::vector<ParlonEntry> m_active;                         // guarded by m_mutex
    Clock::duration m_longestTick{};                           // guarded by m_mutex
    std::map<std::string, Clock::time_point> m_shown;          // guarded by m_mutex
    std::thread m_thread;
};

uint32_t RowOf(const std::vector<ParlonEntry>& list, const std::string& nickname) {
    for (uint32_t row = 0; row < list.size(); ++row) {
        if (list[row].NicknameText() == nickname) {
            return row;
        }
    }
    std::fprintf(stderr, "stall_bench: %s is not listed\n", nickname.c_str());
    std::exit(1);
}

struct Figures {
    double longestTickMs = 0;
    double delayMs = 0;
};

// One role's rows on a network of its own: the sender's at hop count 1 (so that S itself
// connects to X), the relay's at hop count 2 (a relay opens only packets of a length that a path
// of the hop count in force can have).
int Measure(const std::string& measured, uint32_t hopCount, int rounds) {
    test::TempDir dir;
    const auto center = bench::StartBenchCenter("stall_bench", hopCount, 20);
    if (!center) {
        return 1;
    }
    std::map<std::string, std::unique_ptr<Node>> nodes;
    for (const char* nickname : {"S", "R", "D", "X"}) {
        nodes[nickname] = std::make_unique<Node>(nickname, center->Address(), dir);
        // One after another, so that each first list holds the ones before it.
        const size_t listed = nodes.size();
        if (!test::Eventually([&] { return nodes[nickname]->Active().size() == listed; }, 30s)) {
            std::fprintf(stderr, "stall_bench: %s did not register\n", nickname);
            return 1;
        }
    }
    // Registering again brings the lists of all four.
    for (auto& [name, node] : nodes) {
        node->Post([](ParlonSession& session) { session.OnTimer(kRegisterTimer); });
        if (!test::Eventually([&] { return node->Active().size() == 4; }, 30s)) {
            std::fprintf(stderr, "stall_bench: %s never listed all four\n", name.c_str());
            return 1;
        }
    }
    const std::vector<ParlonEntry> list = nodes["S"]->Active();
    const uint16_t vanishedPort = list[RowOf(list, "X")].port;
    nodes.erase("X");
    const test::SilentPort vanished(vanishedPort);

    Node& sender = *nodes["S"];
    Node& relay = *nodes["R"];
    Node& addressee = *nodes["D"];
    const uint32_t rowD = RowOf(list, "D");
    const uint32_t rowX = RowOf(list, "X");

    // The benchmark's own sender S' for the relay packets, listed with the others' keys.
    std::vector<ParlonEntry> relayList = list;
    EncryptionContext own(relayList[RowOf(list, "S")].Address(), relayList);
    relayList[RowOf(list, "S")].SetPublicKey(own.GetPublicKey());
    own.SetHopCount(2);
    const auto packetThroughRelay = [&](uint32_t row, const std::string& text) {
        for (;;) {  // the relay is drawn at random: draw until it is R
            PeerAddress firstHop;
            const auto packet =
                own.WrapMessage(MakeTextField(QueuedText(text).Bytes()), row, firstHop);
            if (packet && firstHop == relayList[RowOf(list, "R")].Address()) {
                return *packet;
            }
        }
    };

    int sequence = 0;
    const auto senderRound = [&](bool withSilent) {
        const std::string text = "unrelated " + std::to_string(++sequence);
        sender.TakeLongestTick();
        const Clock::time_point queued = Clock::now();
        sender.Post([&, text, withSilent](ParlonSession& session) {
            if (withSilent) {
                session.QueueOutgoing(OutgoingTarget::Message(MessageRecipient::Of(list[rowX])),
                                      QueuedText("into the void"));
            }
            session.QueueOutgoing(OutgoingTarget::Message(MessageRecipient::Of(list[rowD])),
                                  QueuedText(text));
        });
        if (!test::Eventually([&] { return sender.ShownAt(text).has_value(); }, 30s)) {
            return Figures{-1, -1};
        }
        const double roundTrip = Ms(*sender.ShownAt(text) - queued);
        std::this_thread::sleep_for(withSilent ? 6s : 100ms);  // the silent connect ends meanwhile
        return Figures{Ms(sender.TakeLongestTick()), roundTrip};
    };
    const auto relayRound = [&](bool withSilent) {
        const std::string text = "relayed " + std::to_string(++sequence);
        const ByteBuffer toD = packetThroughRelay(rowD, text);
        const ByteBuffer toX = packetThroughRelay(rowX, "into the void");
        relay.TakeLongestTick();
        const Clock::time_point pushed = Clock::now();
        // As the relay's listener would queue them: from the sender's address, which the
        // relay checks against the previous hop of its layer.
        const PeerAddress from = list[RowOf(list, "S")].Address();
        if (withSilent) {
            relay.incoming.Push(toX, from);
        }
        relay.incoming.Push(toD, from);
        if (!test::Eventually([&] { return addressee.ShownAt(text).has_value(); }, 30s)) {
            return Figures{-1, -1};
        }
        const double delivery = Ms(*addressee.ShownAt(text) - pushed);
        std::this_thread::sleep_for(withSilent ? 6s : 100ms);
        return Figures{Ms(relay.TakeLongestTick()), delivery};
    };

    for (const auto& [role, run] :
         std::vector<std::pair<const char*, std::function<Figures(bool)>>>{{"sender", senderRound},
                                                                           {"relay", relayRound}}) {
        if (role != measured) {
            continue;
        }
        for (const bool withSilent : {false, true}) {
            Figures worst;
            for (int round = 0; round < rounds; ++round) {
                const Figures figures = run(withSilent);
                if (figures.delayMs < 0) {
                    std::fprintf(stderr, "stall_bench: a %s round's message never arrived\n", role);
                    return 1;
                }
                worst.longestTickMs = std::max(worst.longestTickMs, figures.longestTickMs);
                worst.delayMs = std::max(worst.delayMs, figures.delayMs);
            }
            std::printf("%-7s %-12s %16.1f %18.1f\n", role, withSilent ? "silent" : "none",
                        worst.longestTickMs, worst.delayMs);
            std::fflush(stdout);
        }
    }
    return 0;
}

}  // namespace
}  // namespace parlon

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    std::printf("%-7s %-12s %16s %18s\n", "role", "next hop", "longest tick ms",
                "unrelated msg ms");
    const int sender = parlon::Measure("sender", 1, rounds);
    return sender != 0 ? sender : parlon::Measure("relay", 2, rounds);
}
