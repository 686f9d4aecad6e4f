#include "window/session_messages.h"

#include <algorithm>
#include <utility>

namespace parlon {

void SessionMessages::AddSent(uint64_t number, std::string to, std::string text, State state) {
    m_entries.push_back({true, number, 0, std::move(to), std::move(text), {}, state, {}});
    Changed();
}

void SessionMessages::MarkLost(uint64_t number) {
    Entry* entry = FindSent(number);
    if (entry != nullptr && entry->state == State::Waiting) {
        entry->state = State::Lost;
        Changed();
    }
}

void SessionMessages::MarkAnswered(uint64_t number, std::string reply) {
    Entry* entry = FindSent(number);
    if (entry != nullptr && entry->state == State::Waiting) {
        entry->state = State::Answered;
        entry->reply = std::move(reply);
        Changed();
    }
}

void SessionMessages::AddReceived(uint32_t messageId, std::string text, int32_t replyTimeMs,
                                  Clock::time_point now) {
    m_entries.push_back({false,
                         0,
                         messageId,
                         {},
                         std::move(text),
                         {},
                         State::Answering,
                         now + std::chrono::milliseconds(std::max(replyTimeMs, 0))});
    Changed();
}

void SessionMessages::MarkReplied(uint32_t messageId, std::string reply) {
    const auto answering = std::ranges::find_if(m_entries, [&](const Entry& entry) {
        return !entry.sent && entry.state == State::Answering && entry.messageId == messageId;
    });
    if (answering != m_entries.end()) {
        answering->state = State::Answered;
        answering->reply = std::move(reply);
        Changed();
    }
}

bool SessionMessages::HasAnswering() const {
    return std::ranges::any_of(m_entries,
                               [](const Entry& entry) { return entry.state == State::Answering; });
}

std::string SessionMessages::WayText(const Entry& entry) {
    return entry.sent ? "To " + entry.parlon : "Received";
}

std::string SessionMessages::StateText(const Entry& entry, Clock::time_point now) {
    switch (entry.state) {
        case State::Waiting:
            return "Waiting for a reply";
        case State::Answered:
            return "Answered: " + entry.reply;
        case State::Lost:
            return "Lost: no reply will come";
        case State::NotSent:
            return "Not sent: " + entry.parlon + " had left the network";
        case State::Answering: {
            const auto left = std::chrono::ceil<std::chrono::seconds>(entry.replyDue - now);
            return left.count() > 0 ? "Answer in " + std::to_string(left.count()) + " s"
                                    : "Your reply is leaving";
        }
    }
    return {};
}

SessionMessages::Entry* SessionMessages::FindSent(uint64_t number) {
    const auto found = std::ranges::find_if(
        m_entries, [number](const Entry& entry) { return entry.sent && entry.number == number; });
    return found == m_entries.end() ? nullptr : &*found;
}

void SessionMessages::Changed() {
    if (m_onChange) {
        m_onChange();
    }
}

}  // namespace parlon
