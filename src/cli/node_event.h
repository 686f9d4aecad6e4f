// The events the headless node prints on standard output, one a line: as JSON Lines (one
// object with an "event" field) or as readable text.
//
//   {"event":"status","text":"Connected"}
//   {"event":"list","parlons":[{"index":0,"nickname":"A","ip":"127.0.0.1","port":9001}]}
//   {"event":"message","id":123,"text":"hi","replyTime":30000}
//   {"event":"reply","message":"hi","reply":"yes"}
//   {"event":"sending","to":"D","text":"hi"}
//   {"event":"replying","id":123,"text":"yes"}
//   {"event":"forwarding","ip":"127.0.0.1"}
//   {"event":"lost","to":"D","text":"hi"}       no reply came within the bound; a late one
//                                               still comes as a reply event
//   {"event":"listening","port":9001}
//   {"event":"ticks","longestMs":3.2}            the longest poll tick since the last one
//   {"event":"error","text":"..."}
//
// Texts are UTF-8; bytes that are not valid UTF-8 are printed as U+FFFD, and control characters
// never break a line.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <variant>
#include <vector>

#include "common/wire_records.h"

namespace parlon {

struct StatusEvent {
    std::string text;
};

struct ListRow {
    uint32_t index = 0;
    std::string nickname;
    std::string ip;
    uint16_t port = 0;
};

struct ListEvent {
    std::vector<ListRow> parlons;
};

struct MessageEvent {
    uint32_t id = 0;
    std::string text;
    int32_t replyTime = 0;  // milliseconds
};

struct ReplyEvent {
    std::string message;
    std::string reply;
};

struct SendingEvent {
    std::string to;
    std::string text;
};

struct ReplyingEvent {
    uint32_t id = 0;
    std::string text;
};

struct ForwardingEvent {
    std::string ip;
};

struct LostEvent {
    std::string to;
    std::string text;
};

struct ListeningEvent {
    uint16_t port = 0;
};

struct TicksEvent {
    double longestMs = 0;
};

struct ErrorEvent {
    std::string text;
};

using NodeEvent =
    std::variant<StatusEvent, ListEvent, MessageEvent, ReplyEvent, SendingEvent, ReplyingEvent,
                 ForwardingEvent, LostEvent, ListeningEvent, TicksEvent, ErrorEvent>;

// Where a node's events go. Called on the node's thread.
using EventSink = std::function<void(const NodeEvent&)>;

enum class EventFormat { Text, Json };

// The list event for `parlons`, row i being parlons[i].
ListEvent ListEventOf(const std::vector<ParlonEntry>& parlons);

// One event as one line, without the line feed.
std::string FormatEvent(const NodeEvent& event, EventFormat format);

}  // namespace parlon
