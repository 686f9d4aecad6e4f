// SessionMessages: this session's messages, in the order they were sent or received, as the
// Messages window lists them: a message sent (to whom, the text, and whether it waits for its
// reply, was answered, was lost or was not sent at all) and a message received (the text, and
// the time left to answer it or the reply that left). Held in memory only, never written
// anywhere: it is gone when the program ends.
//
// Fed by the main window from what the session tells it; owned by the main window.
// THREAD SAFETY: GUI thread only.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace parlon {

class SessionMessages {
  public:
    using Clock = std::chrono::steady_clock;

    enum class State {
        Waiting,    // sent: no reply yet
        Answered,   // sent: the reply came back; received: the reply left
        Lost,       // sent: no reply will come
        NotSent,    // sent: the recipient had left the network
        Answering,  // received: the reply leaves when the time to answer is up
    };

    struct Entry {
        bool sent = false;       // sent by this parlon, or received
        uint64_t number = 0;     // sent: the session's number for it
        uint32_t messageId = 0;  // received: its message id
        std::string parlon;      // sent: the recipient's nickname
        std::string text;        // the message
        std::string reply;       // Answered: the reply
        State state = State::Waiting;
        Clock::time_point replyDue;  // received: when the reply leaves
    };

    // Called after every change.
    void SetOnChange(std::function<void()> onChange) { m_onChange = std::move(onChange); }

    // A message sent (Waiting), or one not sent because its recipient had left (NotSent).
    void AddSent(uint64_t number, std::string to, std::string text, State state);
    void MarkLost(uint64_t number);
    // The reply to sent message `number` came back.
    void MarkAnswered(uint64_t number, std::string reply);
    void AddReceived(uint32_t messageId, std::string text, int32_t replyTimeMs,
                     Clock::time_point now);
    // The reply to message `messageId` left: the oldest received one still being answered.
    void MarkReplied(uint32_t messageId, std::string reply);

    const std::vector<Entry>& Entries() const noexcept { return m_entries; }
    bool HasAnswering() const;

    // "To Dave" for a sent message, "Received" for one received.
    static std::string WayText(const Entry& entry);
    // What became of it, for the user: "Waiting for a reply", "Answered: ...", "Lost: ...",
    // "Not sent: ...", "Answer in 23 s" (the seconds left at `now`).
    static std::string StateText(const Entry& entry, Clock::time_point now);

  private:
    Entry* FindSent(uint64_t number);
    void Changed();

    std::vector<Entry> m_entries;
    std::function<void()> m_onChange;
};

}  // namespace parlon
