// Sessions through a fake host on their own clocks, at a scripted center or a real one.
#include <unistd.h>

#include <cryptopp/base64.h>
#include <cryptopp/osrng.h>
#include <cryptopp/rsa.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <optional>

#include "center/center_thread.h"
#include "common/text_field.h"
#include "common/utf8_text.h"
#include "crypto/message_format.h"
#include "net/center_link.h"
#include "net/peer_listener.h"
#include "session/parlon_session.h"
#include "support/temp_dir.h"
#include "support/test_support.h"

namespace parlon {
namespace {

using Timers = std::map<uint32_t, uint32_t>;
using Lines = std::vector<std::string>;
using Kind = SessionEvent::Kind;
using namespace std::chrono_literals;

constexpr uint16_t kDavePort = 9002;

// The text of 112-byte field `index` (the message 0, the reply 1) of a received buffer.
std::string Field(const ByteBuffer& bytes, size_t index) {
    const std::string_view all(reinterpret_cast<const char*>(bytes.Data()), bytes.Length());
    return DisplayText(all.substr(std::min(all.size(), index * kTextFieldSize), kTextFieldSize));
}

class FakeHost : public SessionHost {
  public:
    UserFields typed;  // what the user's fields hold
    Timers timers;     // the running ones: id -> period
    size_t timerStarts = 0;
    bool connectEnabled = true;
    std::vector<std::vector<ParlonEntry>> listViews;
    Lines answerForms;  // the message of each
    std::vector<ReplyHandle> answerHandles;
    Lines viewForms;  // "message / reply"
    Lines statuses;
    bool refuseFields = false;  // the user typed something the host refuses
    std::vector<SessionEvent> events;

    bool ReadFields(UserFields& fields) override {
        fields = typed;
        return !refuseFields;
    }
    void InitFields(const std::string&, const UserFields& fields) override { typed = fields; }
    void ShowStatus(const std::string& status, const std::string&, uint16_t) override {
        statuses.push_back(status);
    }
    void EnableConnect(bool enabled) override { connectEnabled = enabled; }
    void SetTimer(uint32_t id, uint32_t periodMs) override {
        timers[id] = periodMs;
        timerStarts += id != kExchangeTimer ? 1u : 0u;  // the session's own timers only
    }
    void KillTimer(uint32_t id) override { timers.erase(id); }
    void RebuildListView(const std::vector<ParlonEntry>& rows) override {
        listViews.push_back(rows);
    }
    void OpenAnswerForm(const ByteBuffer& text, const ReplyHandle& message, int32_t) override {
        answerForms.push_back(Field(text, 0));
        answerHandles.push_back(message);
    }
    void OpenViewForm(const ByteBuffer& result) override {
        viewForms.push_back(Field(result, 0) + " / " + Field(result, 1));
    }
    void Notify(const SessionEvent& event) override { events.push_back(event); }

    // The events of `kind`: an error's text, a listener's port, else "number recipient text".
    Lines Told(SessionEvent::Kind kind) const {
        Lines told;
        for (const SessionEvent& e : events) {
            if (e.kind == kind) {
                told.push_back(kind == SessionEvent::Kind::Error ? e.text
                               : kind == SessionEvent::Kind::Listening
                                   ? std::to_string(e.port)
                                   : std::to_string(e.messageNumber) + " " + e.recipient + " " +
                                         e.text);
            }
        }
        return told;
    }
};

// A started session with its own log, clock and listener, at `realCenter` or a scripted center:
// registration i gets script[i] (nullopt: unreachable) and a list of the session and "Dave", at
// the exchange timer's next tick unless `holdRegistrations` keeps it in flight.
struct SessionRig {
    struct Link : CenterLink {
        explicit Link(SessionRig& rig) : m_rig(rig) {}
        void StartRegistration() override { m_turn = m_rig.registrations++; }
        std::optional<RegistrationOutcome> TakeRegistration() override {
            if (!m_turn || m_rig.holdRegistrations) {
                return std::nullopt;
            }
            const size_t turn = *std::exchange(m_turn, std::nullopt);
            if (turn >= m_rig.script.size() || !m_rig.script[turn]) {
                return RegistrationOutcome{};
            }
            const ParlonEntry& own = m_rig.linkEntries.back();
            return RegistrationOutcome{
                true, m_rig.lists ? m_rig.lists(own, turn) : std::vector{own, m_rig.Dave()},
                *m_rig.script[turn]};
        }
        void Send(const PeerAddress& to, const ByteBuffer& packet) override {
            m_rig.sends.emplace_back(to, packet);
        }
        std::chrono::milliseconds DeliveryDeadline() const override { return 10s; }
        SessionRig& m_rig;
        std::optional<size_t> m_turn;  // the registration in flight
    };

    explicit SessionRig(const std::string& nickname = "Alice",
                        std::optional<PeerAddress> realCenter = std::nullopt) {
        SessionServices services = SessionServices::Real();
        if (!realCenter) {
            services.makeCenterLink = [this](const ParlonEntry& own, const PeerAddress&) {
                linkEntries.push_back(own);
                return std::unique_ptr<CenterLink>(std::make_unique<Link>(*this));
            };
        }
        services.incoming = &incoming;
        services.now = [this] { return now; };
        const ParlonSettings settings{0, ParseIpv4("127.0.0.1"), nickname,
                                      realCenter.value_or(PeerAddress{})};
        session = std::make_unique<ParlonSession>(
            host, std::make_unique<ActivityLog>(dir.Path() / "Activity.log"), std::move(services),
            settings);
        session->Start();
    }

    // Dave keeps the key text of the session's first link, a valid key that no Connect changes.
    ParlonEntry Dave() const {
        return test::MakeEntry(kDavePort, "Dave", linkEntries.front().PublicKeyText());
    }
    // Presses Connect and lets the exchange timer take the registration's answer.
    void Connect() {
        session->OnConnect();
        AwaitRegistration();
    }
    // Timer 2, then the exchange timer until the registration's answer has been taken.
    void Reregister() {
        session->OnTimer(kRegisterTimer);
        AwaitRegistration();
    }
    void AwaitRegistration() {
        EXPECT_TRUE(test::Eventually(
            [&] {
                if (host.timers.contains(kExchangeTimer)) {
                    session->OnTimer(kExchangeTimer);
                }
                return !host.timers.contains(kExchangeTimer);
            },
            40s));
    }

    // How often `line` stands in the activity log (time stamps left aside).
    size_t LogCount(const std::string& line) const {
        std::ifstream file(dir.Path() / "Activity.log");
        size_t count = 0;
        for (std::string logged; std::getline(file, logged);) {
            count += logged.substr(logged.find("> ") + 2) == line ? 1u : 0u;
        }
        return count;
    }

    test::TempDir dir;
    GuardedQueue incoming{kIncomingBounds};
    FakeHost host;
    std::vector<std::optional<CenterSchedule>> script;
    std::function<std::vector<ParlonEntry>(const ParlonEntry& own, size_t turn)> lists;
    std::vector<ParlonEntry> linkEntries;  // the own entry each link was made with
    size_t registrations = 0;
    bool holdRegistrations = false;
    std::chrono::steady_clock::time_point now;  // the session's clock
    std::vector<std::pair<PeerAddress, ByteBuffer>> sends;
    std::unique_ptr<ParlonSession> session;  // last: goes first
};

CenterSchedule Schedule(uint32_t centerTime, uint32_t switchTime, uint32_t pollPeriod = 500,
                        uint32_t registerPeriod = 10000) {
    return {1, centerTime, pollPeriod, 30000, registerPeriod, switchTime};
}

// Connect reads the fields (stopping at a refused one) and announces a new key pair each time on
// a picked port that stays; Disconnect ends everything, and what is queued waits for Connect.
TEST(SessionTest, ConnectAnnouncesANewKeyPairAndDisconnectEndsEverything) {
    SessionRig rig;
    rig.script = {std::nullopt, Schedule(0, 10), Schedule(0, 20)};
    rig.host.refuseFields = true;
    rig.session->OnConnect();
    EXPECT_TRUE(rig.host.connectEnabled);
    EXPECT_EQ(rig.linkEntries.size(), 0u);
    EXPECT_EQ(rig.host.statuses, Lines{});
    rig.host.refuseFields = false;
    rig.host.typed.nickname = "Alicia";
    rig.Connect();
    EXPECT_EQ(rig.session->Status(), "Error Reistering On Center!");
    EXPECT_TRUE(rig.host.connectEnabled);
    const Lines listening = rig.host.Told(Kind::Listening);
    ASSERT_EQ(listening.size(), 1u);
    EXPECT_EQ(std::to_string(rig.session->Port()), listening[0]);

    rig.Connect();
    EXPECT_FALSE(rig.host.connectEnabled);
    EXPECT_EQ(rig.host.statuses, (Lines{"Initializing Encryption...", "Registering On Center...",
                                        "Error Reistering On Center!", "Initializing Encryption...",
                                        "Registering On Center...", "Connected"}));
    ASSERT_EQ(rig.linkEntries.size(), 2u);
    EXPECT_EQ(rig.linkEntries[1].NicknameText(), "Alicia");
    EXPECT_EQ(std::to_string(rig.linkEntries[1].port), listening[0]);
    EXPECT_NE(rig.linkEntries[0].PublicKeyText(), rig.linkEntries[1].PublicKeyText());
    EXPECT_EQ(rig.linkEntries[1].PublicKeyText(), rig.session->OwnEntry().PublicKeyText());
    EXPECT_EQ(rig.LogCount("Alicia: Switching parlon lists."), 1u);

    rig.session->QueueOutgoing(OutgoingTarget::Message(MessageRecipient::Of(rig.Dave())),
                               QueuedText("hello"));
    rig.session->OnDisconnect();
    EXPECT_TRUE(rig.host.timers.empty());
    EXPECT_TRUE(rig.session->ActiveParlons().empty());
    EXPECT_TRUE(rig.session->NextParlons().empty());
    EXPECT_TRUE(rig.host.listViews.back().empty());
    EXPECT_EQ(rig.session->Status(), "Disconnected");
    EXPECT_TRUE(rig.host.connectEnabled);

    // A reply to an unknown id is dropped; a stray tick while disconnected sends nothing.
    rig.session->QueueOutgoing(OutgoingTarget::Reply(ReplyHandle(4242, 4242)),
                               QueuedText("unknown id"));
    rig.session->OnTimer(kPollTimer);
    // While Connect's registration waits for its answer, timer 2 starts none; it is taken once.
    const size_t views = rig.host.listViews.size();
    rig.holdRegistrations = true;
    rig.session->OnConnect();
    rig.session->OnTimer(kExchangeTimer);
    rig.session->OnTimer(kRegisterTimer);
    EXPECT_EQ(rig.registrations, 3u);
    EXPECT_FALSE(rig.host.connectEnabled);
    EXPECT_EQ(rig.session->Status(), "Registering On Center...");
    rig.holdRegistrations = false;
    rig.AwaitRegistration();
    rig.session->OnTimer(kExchangeTimer);  // a stray tick after the answer changes nothing
    EXPECT_EQ(rig.host.listViews.size(), views + 1);
    EXPECT_EQ(rig.registrations, 3u);
    rig.session->OnTimer(kPollTimer);
    ASSERT_EQ(rig.sends.size(), 1u);
    EXPECT_EQ(uint16_t{rig.sends[0].first.port}, kDavePort);  // hop count 1: straight to Dave
    EXPECT_EQ(rig.host.Told(Kind::Error).size(), 1u);
    EXPECT_EQ(rig.host.Told(Kind::Sending), Lines{"1 Dave hello"});
    EXPECT_EQ(rig.host.Told(Kind::Listening), listening);  // the listener and its port stay
    EXPECT_EQ(std::to_string(rig.linkEntries.back().port), listening[0]);
    // The first lines have the nickname from before Connect read the fields.
    EXPECT_EQ(rig.LogCount("Alice: Initialize encryption and connecting to server..."), 2u);
    EXPECT_EQ(rig.LogCount("Alicia: Registering on center."), 3u);
    EXPECT_EQ(rig.LogCount("Alicia: - Sending \"hello\" to Dave."), 1u);
    EXPECT_EQ(rig.LogCount("Alicia: - Replying \"unknown id\" with Message ID 4242."), 1u);
}

// A message is for the parlon the user chose, not for a row: it goes there wherever it stands,
// and when it has gone (or came back with another key pair) it is not sent, not logged, but told.
TEST(SessionTest, AMessageGoesToTheParlonChosenWhereverItStandsOrIsNotSent) {
    const struct {
        const char* what;
        std::vector<const char*> after;  // the list in use when it leaves
        size_t sent;
    } cases[] = {
        {"moved", {"Erin", "own", "Dave"}, 1},
        {"gone, another in its row", {"own", "Erin"}, 0},
        {"back with another key", {"own", "Erin", "Dave*"}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SessionRig rig;
        rig.script = {Schedule(0, 10), Schedule(0, 20)};  // each switches at once
        rig.lists = [&](const ParlonEntry& own, size_t turn) {
            std::vector<ParlonEntry> list;
            for (const std::string name :
                 turn == 0 ? std::vector{"own", "Dave", "Erin"} : c.after) {
                list.push_back(name == "own"    ? own
                               : name == "Dave" ? rig.Dave()
                               : name == "Dave*"
                                   ? test::MakeEntry(kDavePort, "Dave", "(another key)")
                                   : test::MakeEntry(kDavePort + 1, "Erin", own.PublicKeyText()));
            }
            return list;
        };
        rig.Connect();
        ASSERT_EQ(rig.session->ActiveParlons().size(), 3u);
        const auto dave = MessageRecipient::Of(rig.session->ActiveParlons()[1]);
        rig.session->QueueOutgoing(OutgoingTarget::Message(dave), QueuedText("for Dave only"));
        rig.Reregister();  // the next list comes into use
        rig.session->OnTimer(kPollTimer);
        EXPECT_EQ(rig.sends.size(), c.sent);
        EXPECT_EQ(rig.host.Told(c.sent ? Kind::Sending : Kind::NotSent),
                  Lines{"1 Dave for Dave only"});
        EXPECT_EQ(rig.LogCount("Alice: - Sending \"for Dave only\" to Dave."), c.sent);
        EXPECT_EQ(rig.host.Told(Kind::Error), Lines{});
    }
}

// A listener that fails after Connect is started afresh by timer 2 before it registers; while
// its port is taken the parlon is not announced and the status keeps saying why.
TEST(SessionTest, AFailedListenerIsRestartedBeforeARegistrationAndNeverAnnounced) {
    SessionRig rig;
    rig.script = {Schedule(0, 10), Schedule(0, 10), Schedule(0, 10)};
    rig.Connect();
    ASSERT_EQ(rig.registrations, 1u);
    const uint16_t port = rig.session->Port();
    // True once the listener has failed and the session has told so.
    const auto breakListener = [&] {
        const bool failed = test::BreakListeningSocket(::getpid(), port) && test::Eventually([&] {
                                rig.session->OnTimer(kPollTimer);
                                return rig.session->Status() == "Error Listening On Port!";
                            });
        rig.session->OnTimer(kPollTimer);  // the failure is told once, not at every tick
        return failed;
    };
    ASSERT_TRUE(breakListener());
    // Another program takes the port meanwhile.
    GuardedQueue otherQueue{kIncomingBounds};
    std::string error;
    auto taker = PeerListener::Start({ParseIpv4("127.0.0.1"), port}, otherQueue, error);
    ASSERT_NE(taker, nullptr) << error;
    rig.session->OnTimer(kRegisterTimer);
    rig.session->OnTimer(kRegisterTimer);
    EXPECT_EQ(rig.registrations, 1u);  // not announced while it cannot listen
    EXPECT_EQ(rig.session->Status(), "Error Listening On Port!");
    const std::string stopped = "listener on port " + std::to_string(port) + " stopped: ";
    const Lines errors = rig.host.Told(Kind::Error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].starts_with(stopped)) << errors[0];
    taker.reset();
    rig.Reregister();
    EXPECT_EQ(rig.registrations, 2u);
    EXPECT_EQ(rig.session->Status(), "Connected");
    EXPECT_EQ(rig.session->Port(), port);
    // A Connect, even right after a failure was told, says afresh that a port is taken, once.
    ASSERT_TRUE(breakListener());
    const uint16_t taken = test::UnusedPort().port;
    taker = PeerListener::Start({ParseIpv4("127.0.0.1"), taken}, otherQueue, error);
    ASSERT_NE(taker, nullptr) << error;
    rig.session->OnDisconnect();
    rig.host.typed.port = taken;
    rig.session->OnConnect();
    rig.session->OnTimer(kRegisterTimer);
    const Lines told = rig.host.Told(Kind::Error);
    ASSERT_EQ(told.size(), 3u);
    EXPECT_TRUE(told[1].starts_with(stopped)) << told[1];
    EXPECT_EQ(told[2],
              "cannot listen on port " + std::to_string(taken) + ": Address already in use");
    EXPECT_EQ(rig.registrations, 2u);
}

// The first registration switches at once (timer 2 at 10000, timer 3 at 500); a second one
// brings each schedule, and then timer 1 fires if it runs.
TEST(SessionTest, EachRegistrationAppliesItsScheduleByTheRules) {
    struct Case {
        const char* what;
        std::optional<CenterSchedule> schedule;  // nullopt: the center does not answer
        Timers timers;                           // right after the second registration
        size_t starts;                           // timers (re)started by it
        bool switchesAtOnce;                     // the list in use changes at once
        Timers afterSwitch;
    };
    const Timers same{{2, 10000}, {3, 500}}, late{{1, 51}, {2, 10000}, {3, 500}};
    const Timers newPeriods{{1, 2000}, {2, 4000}, {3, 500}}, switched{{2, 4000}, {3, 200}};
    const Timers bounded{{2, 0x7FFFFFFF}, {3, 10}};
    const Case cases[] = {
        {"center unreachable", std::nullopt, same, 0, false, same},
        {"same switch time, other words", Schedule(2000, 10, 999, 777), same, 0, false, same},
        {"delay of exactly 50", Schedule(1000, 1050), same, 0, true, same},
        {"delay of 51", Schedule(1000, 1051), late, 1, false, same},
        {"negative delay", Schedule(5000, 4000), same, 0, true, same},
        {"new periods: poll waits for the switch", Schedule(0, 2000, 200, 4000), newPeriods, 2,
         false, switched},
        {"periods kept in bounds", Schedule(0, 20, 0, 0xFFFFFFFF), bounded, 2, true, bounded},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SessionRig rig;
        rig.script = {Schedule(0, 10), c.schedule};
        rig.Connect();
        const size_t views = rig.host.listViews.size();
        const size_t starts = rig.host.timerStarts;
        rig.Reregister();
        EXPECT_EQ(rig.host.timers, c.timers);
        EXPECT_EQ(rig.host.timerStarts - starts, c.starts);
        EXPECT_EQ(rig.host.listViews.size(), views + (c.switchesAtOnce ? 1 : 0));
        if (rig.host.timers.contains(kSwitchTimer)) {
            rig.session->OnTimer(kSwitchTimer);
            EXPECT_EQ(rig.host.listViews.size(), views + 1);
        }
        EXPECT_EQ(rig.host.timers, c.afterSwitch);
    }
}

// Packets forged for a connected session at hop count 2 with its public key (Dave's entry
// carries it too), delivered from a source address of the test's choice, one poll tick each.
class SessionUnderAttack : public ::testing::Test {
  protected:
    using Bytes = std::vector<uint8_t>;

    void SetUp() override {
        rig.script.assign(4, CenterSchedule{2, 0, 500, 30000, 10000, 10});
        rig.Connect();
        ASSERT_EQ(rig.session->Status(), "Connected");
    }

    // An "F" packet with id `id` for the key pair in use, whose layer names `previous`, `next`
    // and carries `body`.
    ByteBuffer Forge(PeerAddress previous, PeerAddress next, const Bytes& body, uint32_t id) {
        namespace mf = message_format;
        CryptoPP::StringSource key(std::string(rig.session->OwnEntry().PublicKeyText()), true,
                                   new CryptoPP::Base64Decoder);
        CryptoPP::RSAES_OAEP_SHA_Encryptor encryptor(key);
        Bytes layer(mf::kLayerHeaderSize + body.size(), 0x5A);
        mf::StoreAddress(layer.data() + mf::kLayerPreviousHopOffset, previous);
        mf::StoreAddress(layer.data() + mf::kLayerNextHopOffset, next);
        std::copy(body.begin(), body.end(), layer.begin() + mf::kLayerBodyOffset);
        Bytes packet(mf::kForwardLayerOffset);
        packet[mf::kTagOffset] = mf::kForwardTag;
        mf::StoreMessageId(packet.data() + mf::kForwardIdOffset, id);
        for (size_t offset = 0; offset < layer.size(); offset += mf::kChunkSize) {
            const size_t chunk = std::min(mf::kChunkSize, layer.size() - offset);
            packet.resize(packet.size() + mf::kBlockSize);
            encryptor.Encrypt(rng, layer.data() + offset, chunk, &packet[packet.size() - 256]);
        }
        return ByteBuffer(packet);
    }
    ByteBuffer Message(const std::string& text, uint32_t id, PeerAddress from = kDave) {
        const TextField field = MakeTextField(QueuedText(text).Bytes());
        return Forge(from, {}, Bytes(field.begin(), field.end()), id);
    }
    // What the session showed or sent so far, in one line.
    std::string Shown() const {
        return std::to_string(rig.host.answerForms.size()) + " answers, " +
               std::to_string(rig.host.viewForms.size()) + " views, " +
               std::to_string(rig.sends.size()) + " sends";
    }
    void Deliver(const ByteBuffer& packet, PeerAddress source = kDaveConnection) {
        rig.incoming.Push(packet, source);
        rig.session->OnTimer(kPollTimer);
    }

    static inline const PeerAddress kDave{ParseIpv4("127.0.0.1"), kDavePort};
    // A connection's source port is its own, not the sender's listening port.
    static inline const PeerAddress kDaveConnection{ParseIpv4("127.0.0.1"), 51000};
    static inline const PeerAddress kElsewhere{ParseIpv4("127.0.0.2"), 51000};
    SessionRig rig;
    CryptoPP::AutoSeededRandomPool rng;
};

// Forged layers are the crypto test's; here the session passes the source on, opens nothing
// with an old key pair, and sends a relay layer on to its next hop.
TEST_F(SessionUnderAttack, MisdirectedAndStalePacketsShowNothingAndARelayLayerIsPassedOn) {
    Deliver(Message("not Dave", 8), kElsewhere);  // it names Dave, but comes from elsewhere
    Deliver(Message("genuine", 100));
    EXPECT_EQ(Shown(), "1 answers, 0 views, 0 sends");
    Deliver(Forge(kDave, kDave, Bytes(2 * 256, 7), 5));
    ASSERT_EQ(Shown(), "1 answers, 0 views, 1 sends");
    EXPECT_EQ(rig.sends[0].first, kDave);
    EXPECT_EQ(rig.LogCount("Alice: Forwarding a message that wasn't for us to ip 127.0.0.1."), 1u);

    const ByteBuffer stale = Message("before", 102);
    rig.Connect();
    Deliver(stale);
    EXPECT_EQ(Shown(), "1 answers, 0 views, 1 sends");
    EXPECT_EQ(rig.LogCount("Alice: - Just recieved a new message!"), 1u);
}

// What arrives is held in bounded memory, one tick handles one share of it, nothing is kept
// while disconnected, and answer forms beyond the bound are answered at once, empty.
TEST_F(SessionUnderAttack, FloodsAreBoundedInMemoryInWorkPerTickAndInAnswerForms) {
    // "F", id 1, and two blocks that open to nothing: each costs the session two decryptions.
    Bytes garbage = test::Pattern(message_format::ForwardPacketSize(1));
    garbage[0] = message_format::kForwardTag;
    garbage[1] = 1;
    for (int i = 0; i < 1500; ++i) {
        rig.incoming.Push(ByteBuffer(garbage), kDaveConnection);
    }
    rig.session->OnTimer(kPollTimer);
    const size_t share = ParlonSession::kIncomingBytesPerTick / garbage.size() + 1;
    EXPECT_EQ(rig.incoming.Size(), kIncomingBounds.maxItems - share);
    rig.session->OnDisconnect();
    EXPECT_EQ(rig.incoming.Size(), 0u);
    EXPECT_FALSE(rig.incoming.Push(ByteBuffer(garbage), kDaveConnection));
    rig.Connect();

    const size_t messages = ParlonSession::kMaxOpenAnswerForms + 3;
    for (uint32_t id = 1; id <= messages; ++id) {
        ASSERT_TRUE(rig.incoming.Push(Message("hello " + std::to_string(id), id), kDaveConnection));
    }
    rig.session->OnTimer(kPollTimer);
    EXPECT_EQ(Shown(), "16 answers, 0 views, 3 sends");
    EXPECT_EQ(rig.session->OpenAnswerCount(), ParlonSession::kMaxOpenAnswerForms);
    EXPECT_EQ(rig.LogCount("Alice: - Replying \"\" with Message ID 19."), 1u);
    for (const auto& [to, packet] : rig.sends) {
        EXPECT_EQ(to, kDave);
        EXPECT_EQ(packet.Length(), message_format::kReplyPacketSize);
    }
    // An answer makes room for the next form.
    rig.session->QueueReply(rig.host.answerHandles[0], QueuedText("sure"));
    Deliver(Message("one more", 77));
    EXPECT_EQ(Shown(), "17 answers, 0 views, 4 sends");
}

// A node at a real center, whose poll timer the test pumps itself.
struct Node : SessionRig {
    using SessionRig::SessionRig;

    // Answers the forms opened so far, up to `upTo` of them, with "re: " and the message.
    void AnswerAll(size_t upTo = SIZE_MAX) {
        for (; answered < std::min(upTo, host.answerForms.size()); ++answered) {
            session->QueueReply(host.answerHandles[answered],
                                QueuedText("re: " + host.answerForms[answered]));
        }
    }

    // Queues `text` to the parlon in row `row` of the list in use.
    void SendTo(size_t row, const std::string& text) {
        session->QueueOutgoing(
            OutgoingTarget::Message(MessageRecipient::Of(session->ActiveParlons().at(row))),
            QueuedText(text));
    }

    size_t answered = 0;
};

class SessionNetworkTest : public ::testing::Test {
  protected:
    void StartNetwork(size_t nodeCount) {
        // Every list takes effect within 10 ms: at once.
        std::string error;
        center_ = CenterThread::Start({.hopCount = 1, .switchPeriod = 10}, error,
                                      [](const std::string&) {});
        ASSERT_NE(center_, nullptr) << error;
        for (size_t i = 0; i < nodeCount; ++i) {
            nodes_.push_back(std::make_unique<Node>("N" + std::to_string(i), center_->Address()));
            nodes_.back()->Connect();
        }
        // Each registers again until it lists every node, in order: node i is row i.
        for (auto& node : nodes_) {
            ASSERT_TRUE(test::Eventually([&] {
                node->Reregister();
                return node->session->ActiveParlons().size() == nodeCount;
            }));
        }
    }

    // Ticks every node until `done` holds or five seconds pass.
    bool PumpUntil(const std::function<bool()>& done) {
        return test::Eventually([&] {
            for (auto& node : nodes_) {
                node->session->OnTimer(kPollTimer);
            }
            return done();
        });
    }

    std::unique_ptr<CenterThread> center_;
    std::vector<std::unique_ptr<Node>> nodes_;
};

// Messages are handled in order. A vanished next hop holds up neither the sender's tick nor its
// other traffic; the message to it, and one whose reply is late (still shown), are reported lost
// once, when the bound has passed by the sender's clock; an answered one never.
TEST_F(SessionNetworkTest, AVanishedHostStallsNothingAndALostMessageIsReportedOnceAfterItsBound) {
    StartNetwork(3);
    Node& sender = *nodes_[0];
    Node& addressee = *nodes_[2];
    const auto bound = LostMessageWatch::ReplyBound(sender.session->Schedule(), 1, 10s);
    const uint16_t vanishedPort = nodes_[1]->session->Port();
    nodes_.erase(nodes_.begin() + 1);  // N1 signs off, but the lists still name it
    const test::SilentPort vanished(vanishedPort);
    sender.SendTo(1, "into the void");
    const auto started = std::chrono::steady_clock::now();
    const Lines texts{"one", "two", "late"};
    for (size_t i = 0; i < texts.size(); ++i) {  // one a tick, so that they arrive in order
        sender.SendTo(2, texts[i]);
        const auto tickStarted = std::chrono::steady_clock::now();
        sender.session->OnTimer(kPollTimer);
        EXPECT_LT(std::chrono::steady_clock::now() - tickStarted, 1s);  // no tick waits on a host
        ASSERT_TRUE(test::Eventually([&] { return addressee.incoming.Size() == i + 1; }));
    }
    addressee.session->OnTimer(kPollTimer);  // opens the three answer forms
    ASSERT_EQ(addressee.host.answerForms, texts);
    addressee.AnswerAll(2);  // the replies to "one" and "two" go back; the one to "late" waits
    ASSERT_TRUE(PumpUntil([&] { return sender.host.viewForms.size() == 2; }));
    // The whole round while the connect to the vanished host still waits for its 5 s deadline.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    Lines shown = sender.host.viewForms;  // two deliveries at once may land in either order
    std::ranges::sort(shown);
    EXPECT_EQ(shown, (Lines{"one / re: one", "two / re: two"}));
    Lines answered = sender.host.Told(Kind::Answered);  // each reply names its own message
    std::ranges::sort(answered);
    EXPECT_EQ(answered, (Lines{"2 N2 re: one", "3 N2 re: two"}));

    sender.now += bound - 1ms;
    sender.session->OnTimer(kPollTimer);
    EXPECT_EQ(sender.host.Told(Kind::Lost), Lines{});
    sender.now += 1ms;
    sender.session->OnTimer(kPollTimer);
    sender.session->OnTimer(kPollTimer);
    const Lines lost{"1 N1 into the void", "4 N2 late"};
    EXPECT_EQ(sender.host.Told(Kind::Lost), lost);

    addressee.AnswerAll();
    ASSERT_TRUE(PumpUntil([&] { return sender.host.viewForms.size() == 3; }));
    EXPECT_EQ(sender.host.viewForms.back(), "late / re: late");
    EXPECT_EQ(sender.host.Told(Kind::Lost), lost);
    EXPECT_EQ(sender.host.Told(Kind::Answered).size(), 2u);  // a late reply answers no more
    EXPECT_EQ(sender.LogCount("N0: - Just recieved a new reply!"), 3u);
    EXPECT_EQ(sender.host.Told(Kind::Error), Lines{});
    EXPECT_EQ(sender.session->Status(), "Connected");
}

}  // namespace
}  // namespace parlon
