// Sessions through a fake host on their own clocks, at a scripted center, with a real peer.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <optional>

#include "common/text_field.h"
#include "common/utf8_text.h"
#include "crypto/encryption_context.h"
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
    bool connectEnabled = true;
    std::vector<std::vector<ParlonEntry>> listViews;
    Lines answerForms;  // the message of each
    std::vector<ReplyHandle> answerHandles;
    Lines viewForms;  // "message / reply"
    Lines statuses;
    bool refuseFields = false;  // the user typed something the host refuses
    // What each kind of event told: an error's text, a listener's port, else "number recipient
    // text".
    std::map<Kind, Lines> told;

    bool ReadFields(UserFields& fields) override {
        fields = typed;
        return !refuseFields;
    }
    void InitFields(const std::string&, const UserFields& fields) override { typed = fields; }
    void ShowStatus(const std::string& status, const std::string&, uint16_t) override {
        statuses.push_back(status);
    }
    void EnableConnect(bool enabled) override { connectEnabled = enabled; }
    void SetTimer(uint32_t id, uint32_t periodMs) override { timers[id] = periodMs; }
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
    void Notify(const SessionEvent& e) override {
        told[e.kind].push_back(e.kind == Kind::Error       ? e.text
                               : e.kind == Kind::Listening ? std::to_string(e.port)
                                                           : std::to_string(e.messageNumber) + " " +
                                                                 e.recipient + " " + e.text);
    }
};

// A started session at a scripted center: registration i gets script[i] (nullopt: unreachable).
struct SessionRig {
    struct Link : CenterLink {
        explicit Link(SessionRig& rig) : m_rig(rig) {}
        void StartRegistration() override { m_turn = m_rig.registrations++; }
        std::optional<RegistrationOutcome> TakeRegistration() override {
            if (!m_turn) {
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

    SessionRig() {
        SessionServices services = SessionServices::Real();
        services.makeCenterLink = [this](const ParlonEntry& own, const PeerAddress&) {
            linkEntries.push_back(own);
            return std::unique_ptr<CenterLink>(std::make_unique<Link>(*this));
        };
        services.incoming = &incoming;
        services.now = [this] { return now; };
        const ParlonSettings settings{0, ParseIpv4("127.0.0.1"), "Alice", {}};
        session = std::make_unique<ParlonSession>(
            host, std::make_unique<ActivityLog>(dir.Path() / "Activity.log"), std::move(services),
            settings);
        session->Start();
    }

    // Dave keeps the key text of the session's first link, a valid key that no Connect changes.
    ParlonEntry Dave() const {
        return test::MakeEntry(kDavePort, "Dave", linkEntries.front().PublicKeyText());
    }
    void Connect() {
        session->OnConnect();
        session->OnTimer(kExchangeTimer);
    }
    void Reregister() {
        session->OnTimer(kRegisterTimer);
        session->OnTimer(kExchangeTimer);
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
    std::chrono::steady_clock::time_point now;  // the session's clock
    std::vector<std::pair<PeerAddress, ByteBuffer>> sends;
    std::unique_ptr<ParlonSession> session;  // last: goes first
};

CenterSchedule Schedule(uint32_t centerTime, uint32_t switchTime, uint32_t pollPeriod = 500,
                        uint32_t registerPeriod = 10000) {
    return {1, centerTime, pollPeriod, 30000, registerPeriod, switchTime};
}

// Connect stops at a refused field or port, else announces a new key pair; Disconnect keeps the
// queue.
TEST(SessionTest, ConnectAnnouncesANewKeyPairDisconnectEndsEverythingAndSchedulesApply) {
    SessionRig rig;
    rig.script = {std::nullopt,
                  Schedule(0, 10),
                  Schedule(0, 20),
                  Schedule(1000, 1051, 200, 4000),
                  Schedule(1000, 1050),
                  Schedule(5000, 4000, 0, 0xFFFFFFFF),
                  Schedule(2000, 4000, 999, 777)};
    rig.host.refuseFields = true;
    rig.session->OnConnect();
    EXPECT_TRUE(rig.host.connectEnabled);
    rig.host.refuseFields = false;
    std::string error;
    auto taker = PeerListener::Start({ParseIpv4("127.0.0.1"), 0}, rig.incoming, error);
    ASSERT_NE(taker, nullptr) << error;
    rig.host.typed.port = taker->Port();
    rig.session->OnConnect();
    EXPECT_EQ(rig.host.told[Kind::Error],
              Lines{"cannot listen on port " + std::to_string(taker->Port()) +
                    ": Address already in use"});
    EXPECT_TRUE(rig.host.connectEnabled);
    rig.host.typed.port = 0;
    rig.host.typed.nickname = "Alicia";
    rig.Connect();
    EXPECT_TRUE(rig.host.connectEnabled);

    rig.Connect();
    EXPECT_FALSE(rig.host.connectEnabled);
    EXPECT_EQ(rig.host.statuses,
              (Lines{"Error Listening On Port!", "Initializing Encryption...",
                     "Registering On Center...", "Error Reistering On Center!",
                     "Initializing Encryption...", "Registering On Center...", "Connected"}));
    ASSERT_EQ(rig.linkEntries.size(), 2u);
    EXPECT_EQ(rig.linkEntries[1].NicknameText(), "Alicia");
    EXPECT_NE(rig.linkEntries[0].PublicKeyText(), rig.linkEntries[1].PublicKeyText());
    EXPECT_EQ(rig.LogCount("Alicia: Switching parlon lists."), 1u);

    rig.session->QueueOutgoing(OutgoingTarget::Message(MessageRecipient::Of(rig.Dave())),
                               QueuedText("hello"));
    rig.session->OnDisconnect();
    EXPECT_FALSE(rig.incoming.Push(ByteBuffer(1)));  // nothing arriving is kept while disconnected
    EXPECT_TRUE(rig.host.timers.empty());
    EXPECT_TRUE(rig.host.listViews.back().empty());
    EXPECT_EQ(rig.session->Status(), "Disconnected");
    EXPECT_TRUE(rig.host.connectEnabled);

    // A reply to an unknown id is dropped; a stray tick while disconnected sends nothing.
    rig.session->QueueOutgoing(OutgoingTarget::Reply(ReplyHandle(4242, 4242)),
                               QueuedText("unknown id"));
    rig.session->OnTimer(kPollTimer);
    rig.Connect();
    rig.session->OnTimer(kPollTimer);
    ASSERT_EQ(rig.sends.size(), 1u);
    EXPECT_EQ(uint16_t{rig.sends[0].first.port}, kDavePort);  // hop count 1: straight to Dave
    EXPECT_EQ(rig.host.told[Kind::Error].size(), 2u);
    EXPECT_EQ(rig.host.told[Kind::Sending], Lines{"1 Dave hello"});
    // The listener and its port stay.
    EXPECT_EQ(rig.host.told[Kind::Listening], Lines{std::to_string(rig.linkEntries[1].port)});
    // The first lines have the nickname from before Connect read the fields.
    EXPECT_EQ(rig.LogCount("Alice: Initialize encryption and connecting to server..."), 3u);
    EXPECT_EQ(rig.LogCount("Alicia: Registering on center."), 3u);
    EXPECT_EQ(rig.LogCount("Alicia: - Sending \"hello\" to Dave."), 1u);
    EXPECT_EQ(rig.LogCount("Alicia: - Replying \"unknown id\" with Message ID 4242."), 1u);

    const size_t views = rig.host.listViews.size();
    rig.Reregister();
    EXPECT_EQ(rig.host.timers, (Timers{{1, 51}, {2, 4000}, {3, 500}}));
    EXPECT_EQ(rig.host.listViews.size(), views);
    rig.session->OnTimer(kSwitchTimer);
    EXPECT_EQ(rig.host.timers, (Timers{{2, 4000}, {3, 200}}));
    EXPECT_EQ(rig.host.listViews.size(), views + 1);
    rig.Reregister();  // due in exactly 50 ms
    EXPECT_EQ(rig.host.listViews.size(), views + 2);
    rig.Reregister();  // due in the past
    EXPECT_EQ(rig.host.listViews.size(), views + 3);
    EXPECT_EQ(rig.host.timers, (Timers{{2, 0x7FFFFFFF}, {3, 10}}));
    rig.Reregister();  // the same switch time: the rest of its schedule is not applied
    EXPECT_EQ(rig.host.listViews.size(), views + 3);
    EXPECT_EQ(rig.host.timers, (Timers{{2, 0x7FFFFFFF}, {3, 10}}));
}

// A message goes to the parlon chosen wherever it stands; gone or with another key, it is only
// told.
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
        const auto dave = MessageRecipient::Of(rig.session->ActiveParlons().at(1));
        rig.session->QueueOutgoing(OutgoingTarget::Message(dave), QueuedText("for Dave only"));
        rig.Reregister();  // the next list comes into use
        rig.session->OnTimer(kPollTimer);
        EXPECT_EQ(rig.sends.size(), c.sent);
        EXPECT_EQ(rig.host.told[c.sent ? Kind::Sending : Kind::NotSent],
                  Lines{"1 Dave for Dave only"});
        EXPECT_EQ(rig.LogCount("Alice: - Sending \"for Dave only\" to Dave."), c.sent);
        EXPECT_EQ(rig.host.told[Kind::Error], Lines{});
    }
}

// A connected session whose list holds itself and Dave, a real parlon the test plays.
class SessionWithDave : public ::testing::Test {
  protected:
    void SetUp() override {
        daveEntry.SetPublicKey(dave.GetPublicKey());
        rig.lists = [this](const ParlonEntry& own, size_t) { return std::vector{own, daveEntry}; };
        rig.script = {Schedule(0, 10), CenterSchedule{2, 0, 500, 30000, 10000, 20}};
        rig.Connect();
        daveList = {rig.session->OwnEntry(), daveEntry};
    }

    std::pair<std::string, ReplyHandle> Open(const ByteBuffer& packet) {
        PeerAddress nextHop;
        ReplyHandle message;
        const auto inner = dave.Unwrap(packet, rig.session->OwnEntry().Address(), nextHop, message);
        return {inner ? Field(*inner, 0) : "(not opened)", message};
    }
    ByteBuffer Message(const std::string& text, uint32_t toRow = 0) {
        PeerAddress firstHop;
        return dave.WrapMessage(MakeTextField(QueuedText(text).Bytes()), toRow, firstHop).value();
    }
    ByteBuffer Reply(const std::string& text, const ReplyHandle& message) {
        PeerAddress previousHop;
        return dave.WrapReply(MakeTextField(QueuedText(text).Bytes()), message, previousHop)
            .value();
    }
    std::string Shown() const {
        return std::to_string(rig.host.answerForms.size()) + " answers, " +
               std::to_string(rig.host.viewForms.size()) + " views, " +
               std::to_string(rig.sends.size()) + " sends";
    }
    void Deliver(const ByteBuffer& packet) {
        rig.incoming.Push(packet, kDaveConnection);
        rig.session->OnTimer(kPollTimer);
    }

    static inline const PeerAddress kDave{ParseIpv4("127.0.0.1"), kDavePort};
    // A connection's source port is its own, not the sender's listening port.
    static inline const PeerAddress kDaveConnection{ParseIpv4("127.0.0.1"), 51000};
    std::vector<ParlonEntry> daveList;
    EncryptionContext dave{kDave, daveList};
    ParlonEntry daveEntry = test::MakeEntry(kDavePort, "Dave", "");
    SessionRig rig;
};

// Replies are shown with their message; a late one is reported lost once, after the bound.
TEST_F(SessionWithDave, RepliesAreShownAndALostMessageIsReportedOnceAfterItsBound) {
    const auto bound = LostMessageWatch::ReplyBound(rig.session->Schedule(), 1, 10s);
    const Lines texts{"one", "two", "late"};
    for (const std::string& text : texts) {
        rig.session->QueueOutgoing(OutgoingTarget::Message(MessageRecipient::Of(daveEntry)),
                                   QueuedText(text));
    }
    rig.session->OnTimer(kPollTimer);
    ASSERT_EQ(rig.sends.size(), texts.size());
    std::vector<ReplyHandle> handles;
    for (size_t i = 0; i < texts.size(); ++i) {
        const auto [text, handle] = Open(rig.sends[i].second);
        EXPECT_EQ(text, texts[i]);
        handles.push_back(handle);
    }
    Deliver(Reply("re: one", handles[0]));
    Deliver(Reply("re: two", handles[1]));
    EXPECT_EQ(rig.host.viewForms, (Lines{"one / re: one", "two / re: two"}));
    EXPECT_EQ(rig.host.told[Kind::Answered], (Lines{"1 Dave re: one", "2 Dave re: two"}));

    rig.now += bound - 1ms;
    rig.session->OnTimer(kPollTimer);
    EXPECT_EQ(rig.host.told[Kind::Lost], Lines{});
    rig.now += 1ms;
    rig.session->OnTimer(kPollTimer);
    rig.session->OnTimer(kPollTimer);
    EXPECT_EQ(rig.host.told[Kind::Lost], Lines{"3 Dave late"});
    Deliver(Reply("re: late", handles[2]));
    EXPECT_EQ(rig.host.viewForms.back(), "late / re: late");
    EXPECT_EQ(rig.host.told[Kind::Answered].size(), 2u);  // a late reply answers no more
    EXPECT_EQ(rig.LogCount("Alice: - Just recieved a new reply!"), 3u);
}

// A tick takes one share; answer forms past the bound are answered empty; relay layers pass on.
TEST_F(SessionWithDave, FloodsAreBoundedInWorkPerTickAndInAnswerFormsAndRelayLayersPassOn) {
    std::vector<uint8_t> forged = test::Pattern(message_format::ForwardPacketSize(1));
    forged[0] = message_format::kForwardTag;  // "F", id 1: each costs two decryptions
    forged[1] = 1;
    const ByteBuffer garbage(forged);
    const size_t share = ParlonSession::kIncomingBytesPerTick / garbage.Length() + 1;
    for (size_t i = 0; i < 2 * share; ++i) {
        rig.incoming.Push(garbage, kDaveConnection);
    }
    rig.session->OnTimer(kPollTimer);
    EXPECT_EQ(rig.incoming.Size(), share);
    rig.session->OnTimer(kPollTimer);

    const size_t messages = ParlonSession::kMaxOpenAnswerForms + 3;
    for (size_t i = 1; i <= messages; ++i) {
        rig.incoming.Push(Message("hello " + std::to_string(i)), kDaveConnection);
    }
    rig.session->OnTimer(kPollTimer);
    EXPECT_EQ(Shown(), "16 answers, 0 views, 3 sends");
    EXPECT_EQ(rig.host.answerForms.back(), "hello 16");
    for (const auto& [to, packet] : rig.sends) {
        EXPECT_EQ(to, kDave);
        EXPECT_EQ(packet.Length(), message_format::kReplyPacketSize);
    }
    // An answer makes room for the next form.
    rig.session->QueueReply(rig.host.answerHandles[0], QueuedText("sure"));
    Deliver(Message("one more"));
    EXPECT_EQ(Shown(), "17 answers, 0 views, 4 sends");
    EXPECT_EQ(rig.LogCount("Alice: - Just recieved a new message!"), messages + 1);
    // A message that names Dave but comes from another host is not his.
    rig.incoming.Push(Message("not from Dave"), {ParseIpv4("127.0.0.2"), 51000});
    rig.session->OnTimer(kPollTimer);
    EXPECT_EQ(Shown(), "17 answers, 0 views, 4 sends");

    rig.Reregister();  // hop count 2 from now on
    dave.SetHopCount(2);
    ByteBuffer relayed;
    for (PeerAddress firstHop; firstHop.port != rig.session->Port();) {  // through the session
        relayed =
            dave.WrapMessage(MakeTextField(QueuedText("via Alice").Bytes()), 1, firstHop).value();
    }
    Deliver(relayed);
    ASSERT_EQ(Shown(), "17 answers, 0 views, 5 sends");
    EXPECT_EQ(rig.sends.back().first, kDave);
    EXPECT_EQ(Open(rig.sends.back().second).first, "via Alice");
    EXPECT_EQ(rig.LogCount("Alice: Forwarding a message that wasn't for us to ip 127.0.0.1."), 1u);
}

}  // namespace
}  // namespace parlon
