// Fakes for driving a ParlonSession without a window, a network or a clock: a host that
// records what the session asks of it, a scripted center, and listener stand-ins.
#pragma once

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
    };

    UserFields typed;                     // what the user's fields hold
    std::map<uint32_t, uint32_t> timers;  // running timers: id -> period
    size_t timerStarts = 0;
    std::vector<std::string> statuses;
    bool connectEnabled = true;
    std::vector<std::vector<ParlonEntry>> listViews;
    std::vector<Form> forms;
    std::vector<std::string> errors;

    bool ReadFields(UserFields& fields) override {
        fields = typed;
        return true;
    }
    void InitFields(const std::string& status, const UserFields& fields) override {
        statuses.push_back(status);
        typed = fields;
    }
    void ShowStatus(const std::string& status, const std::string&, uint16_t) override {
        statuses.push_back(status);
    }
    void EnableConnect(bool enabled) override { connectEnabled = enabled; }
    void SetTimer(uint32_t id, uint32_t periodMs) override {
        timers[id] = periodMs;
        ++timerStarts;
    }
    void KillTimer(uint32_t id) override { timers.erase(id); }
    void RebuildListView(const std::vector<ParlonEntry>& parlons) override { listViews.push_back(parlons); }
    void OpenAnswerForm(const ByteBuffer& text, uint32_t messageId, int32_t) override {
        forms.push_back({FormMode::Answer, text, messageId});
    }
    void OpenViewForm(const ByteBuffer& result) override { forms.push_back({FormMode::View, result, 0}); }
    void Notify(const SessionEvent& event) override {
        if (event.kind == SessionEvent::Kind::Error) {
            errors.push_back(event.text);
        }
    }
};

// A center that answers from a script (nullopt: unreachable), and records what went through it.
struct FakeNetwork {
    struct Reply {
        std::vector<ParlonEntry> parlons;
        CenterSchedule schedule;
    };
    std::vector<std::optional<Reply>> replies;
    size_t nextReply = 0;
    std::vector<ParlonEntry> linkEntries;  // the own entry each link was made with
    size_t registrations = 0;
    size_t signOffs = 0;
    std::vector<std::pair<PeerAddress, ByteBuffer>> sends;
    std::vector<uint16_t> listenerPorts;  // every port a listener was started on
    uint16_t takenPort = 0;
    bool listenerFailed = false;

    SessionServices Services(GuardedQueue& incoming) {
        SessionServices services = SessionServices::Real();
        services.makeCenterLink = [this](const ParlonEntry& ownEntry, const PeerAddress&) {
            linkEntries.push_back(ownEntry);
            return std::unique_ptr<CenterLink>(std::make_unique<Link>(*this));
        };
        services.startListener = [this](uint16_t port, GuardedQueue&,
                                        std::string& error) -> std::unique_ptr<PeerListener> {
            listenerPorts.push_back(port);
            if (port == takenPort) {
                error = "Address already in use";
                return nullptr;
            }
            return std::make_unique<Listener>(*this, port);
        };
        services.incoming = &incoming;
        return services;
    }

private:
    class Link : public CenterLink {
    public:
        explicit Link(FakeNetwork& network) : m_network(network) {}
        ~Link() override { ++m_network.signOffs; }
        bool Register(std::vector<ParlonEntry>& parlons, CenterSchedule& schedule) override {
            ++m_network.registrations;
            if (m_network.nextReply >= m_network.replies.size() || !m_network.replies[m_network.nextReply]) {
                ++m_network.nextReply;
                return false;
            }
            const Reply& reply = *m_network.replies[m_network.nextReply++];
            parlons = reply.parlons;
            schedule = reply.schedule;
            return true;
        }
        bool Send(const PeerAddress& destination, const ByteBuffer& packet) override {
            m_network.sends.emplace_back(destination, packet);
            return true;
        }

    private:
        FakeNetwork& m_network;
    };

    class Listener : public PeerListener {
    public:
        Listener(FakeNetwork& network, uint16_t port) : m_network(network), m_port(port) {}
        void Stop() override {}
        uint16_t Port() const noexcept override { return m_port; }
        bool Failed() const noexcept override { return m_network.listenerFailed; }
        std::string FailureText() const override { return "accept failed"; }

    private:
        FakeNetwork& m_network;
        uint16_t m_port;
    };
};

}  // namespace parlon::testing
