// Fakes for driving a ParlonSession without a window, a network or a clock: a host that
// records what the session asks of it, a scripted center link, and a listener stand-in.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/center_link.h"
#include "net/peer_listener.h"
#include "session/message_form.h"
#include "session/session_host.h"
#include "session/session_services.h"

namespace parlon::testing {

class FakeHost : public SessionHost {
public:
    struct Form {
        FormMode mode;
        ByteBuffer bytes;
        uint32_t messageId;
        int32_t replyTimeMs;
    };

    UserFields typed;  // what the user's fields hold; ReadFields hands these over
    bool refuseFields = false;

    std::map<uint32_t, uint32_t> timers;  // running timers: id -> period
    std::vector<std::pair<uint32_t, uint32_t>> timerStarts;
    std::vector<std::string> statuses;
    std::optional<bool> connectEnabled;
    std::vector<std::vector<ParlonEntry>> listViews;
    std::vector<Form> forms;
    std::vector<SessionEvent> events;

    bool ReadFields(UserFields& fields) override {
        if (refuseFields) {
            return false;
        }
        fields = typed;
        return true;
    }
    void InitFields(const std::string& status, const UserFields& fields) override {
        statuses.push_back(status);
        typed = fields;
    }
    void ShowStatus(const std::string& status, const std::string& nickname, uint16_t port) override {
        statuses.push_back(status);
        typed.nickname = nickname;
        typed.port = port;
    }
    void EnableConnect(bool enabled) override { connectEnabled = enabled; }
    void SetTimer(uint32_t id, uint32_t periodMs) override {
        timers[id] = periodMs;
        timerStarts.emplace_back(id, periodMs);
    }
    void KillTimer(uint32_t id) override { timers.erase(id); }
    void RebuildListView(const std::vector<ParlonEntry>& parlons) override { listViews.push_back(parlons); }
    void OpenAnswerForm(const ByteBuffer& text, uint32_t messageId, int32_t replyTimeMs) override {
        forms.push_back({FormMode::Answer, text, messageId, replyTimeMs});
    }
    void OpenViewForm(const ByteBuffer& result) override { forms.push_back({FormMode::View, result, 0, 0}); }
    void Notify(const SessionEvent& event) override { events.push_back(event); }

    size_t ErrorCount() const {
        size_t count = 0;
        for (const SessionEvent& event : events) {
            count += event.kind == SessionEvent::Kind::Error ? 1u : 0u;
        }
        return count;
    }
};

// What the scripted center answers and what the session sent through it.
struct CenterScript {
    struct Reply {
        std::vector<ParlonEntry> parlons;
        CenterSchedule schedule;
    };
    std::vector<std::optional<Reply>> replies;  // taken in order; nullopt = unreachable
    size_t nextReply = 0;

    std::vector<ParlonEntry> linkEntries;  // the own entry each link was made with
    size_t registrations = 0;
    size_t signOffs = 0;
    std::vector<std::pair<PeerAddress, ByteBuffer>> sends;
};

class FakeCenterLink : public CenterLink {
public:
    explicit FakeCenterLink(CenterScript& script) : m_script(script) {}
    ~FakeCenterLink() override { ++m_script.signOffs; }

    bool Register(std::vector<ParlonEntry>& parlons, CenterSchedule& schedule) override {
        ++m_script.registrations;
        if (m_script.nextReply >= m_script.replies.size()) {
            return false;
        }
        const std::optional<CenterScript::Reply>& reply = m_script.replies[m_script.nextReply++];
        if (!reply) {
            return false;
        }
        parlons = reply->parlons;
        schedule = reply->schedule;
        return true;
    }
    bool Send(const PeerAddress& destination, const ByteBuffer& packet) override {
        m_script.sends.emplace_back(destination, packet);
        return true;
    }

private:
    CenterScript& m_script;
};

class FakeListener : public PeerListener {
public:
    explicit FakeListener(uint16_t port) : m_port(port) {}
    void Stop() override {}
    uint16_t Port() const noexcept override { return m_port; }
    bool Failed() const noexcept override { return failed; }
    std::string FailureText() const override { return "accept failed"; }

    bool failed = false;

private:
    uint16_t m_port;
};

// Services whose network is the script; listeners on the ports in `takenPorts` fail.
struct FakeNetwork {
    CenterScript center;
    std::vector<uint16_t> listenerPorts;  // every port a listener was started on
    std::vector<uint16_t> takenPorts;
    FakeListener* lastListener = nullptr;

    SessionServices Services(GuardedQueue& incoming) {
        SessionServices services = SessionServices::Real();
        services.makeCenterLink = [this](const ParlonEntry& ownEntry, const PeerAddress&) {
            center.linkEntries.push_back(ownEntry);
            return std::unique_ptr<CenterLink>(std::make_unique<FakeCenterLink>(center));
        };
        services.startListener = [this](uint16_t port, GuardedQueue&, std::string& error)
            -> std::unique_ptr<PeerListener> {
            listenerPorts.push_back(port);
            for (uint16_t taken : takenPorts) {
                if (taken == port) {
                    error = "Address already in use";
                    return nullptr;
                }
            }
            auto listener = std::make_unique<FakeListener>(port);
            lastListener = listener.get();
            return listener;
        };
        services.incoming = &incoming;
        return services;
    }
};

}  // namespace parlon::testing
