#include "cli/node_event.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "common/utf8_text.h"

namespace parlon {

namespace {

using Json = nlohmann::ordered_json;  // keeps the fields in the order written here

std::string Dump(const Json& json) {
    return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// A text in double quotes with JSON escapes, so that no text can break the line.
std::string Quoted(const std::string& text) {
    return Dump(Json(text));
}

struct JsonFormatter {
    Json operator()(const StatusEvent& e) const { return {{"event", "status"}, {"text", e.text}}; }
    Json operator()(const ListEvent& e) const {
        Json parlons = Json::array();
        for (const ListRow& row : e.parlons) {
            parlons.push_back({{"index", row.index},
                               {"nickname", row.nickname},
                               {"ip", row.ip},
                               {"port", row.port}});
        }
        return {{"event", "list"}, {"parlons", std::move(parlons)}};
    }
    Json operator()(const MessageEvent& e) const {
        return {{"event", "message"}, {"id", e.id}, {"text", e.text}, {"replyTime", e.replyTime}};
    }
    Json operator()(const ReplyEvent& e) const {
        return {{"event", "reply"}, {"message", e.message}, {"reply", e.reply}};
    }
    Json operator()(const SendingEvent& e) const {
        return {{"event", "sending"}, {"to", e.to}, {"text", e.text}};
    }
    Json operator()(const ReplyingEvent& e) const {
        return {{"event", "replying"}, {"id", e.id}, {"text", e.text}};
    }
    Json operator()(const ForwardingEvent& e) const {
        return {{"event", "forwarding"}, {"ip", e.ip}};
    }
    Json operator()(const LostEvent& e) const {
        return {{"event", "lost"}, {"to", e.to}, {"text", e.text}};
    }
    Json operator()(const ListeningEvent& e) const {
        return {{"event", "listening"}, {"port", e.port}};
    }
    Json operator()(const TicksEvent& e) const {
        return {{"event", "ticks"}, {"longestMs", std::round(e.longestMs * 10) / 10}};
    }
    Json operator()(const ErrorEvent& e) const { return {{"event", "error"}, {"text", e.text}}; }
};

struct TextFormatter {
    std::string operator()(const StatusEvent& e) const { return "status: " + OneLineText(e.text); }
    std::string operator()(const ListEvent& e) const {
        if (e.parlons.empty()) {
            return "list: (empty)";
        }
        std::string line = "list:";
        const char* separator = " ";
        for (const ListRow& row : e.parlons) {
            line += separator + std::to_string(row.index) + " " + Quoted(row.nickname) + " " +
                    OneLineText(row.ip) + ":" + std::to_string(row.port);
            separator = ", ";
        }
        return line;
    }
    std::string operator()(const MessageEvent& e) const {
        return "message " + std::to_string(e.id) + ": " + Quoted(e.text) + " (reply time " +
               std::to_string(e.replyTime) + " ms)";
    }
    std::string operator()(const ReplyEvent& e) const {
        return "reply: " + Quoted(e.reply) + " to " + Quoted(e.message);
    }
    std::string operator()(const SendingEvent& e) const {
        return "sending " + Quoted(e.text) + " to " + Quoted(e.to);
    }
    std::string operator()(const ReplyingEvent& e) const {
        return "replying " + Quoted(e.text) + " to message " + std::to_string(e.id);
    }
    std::string operator()(const ForwardingEvent& e) const {
        return "forwarding to " + OneLineText(e.ip);
    }
    std::string operator()(const LostEvent& e) const {
        return "lost " + Quoted(e.text) + " to " + Quoted(e.to);
    }
    std::string operator()(const ListeningEvent& e) const {
        return "listening on port " + std::to_string(e.port);
    }
    std::string operator()(const TicksEvent& e) const {
        char text[64];
        std::snprintf(text, sizeof text, "longest poll tick %.1f ms", e.longestMs);
        return text;
    }
    std::string operator()(const ErrorEvent& e) const { return "error: " + OneLineText(e.text); }
};

}  // namespace

ListEvent ListEventOf(const std::vector<ParlonEntry>& parlons) {
    ListEvent event;
    event.parlons.reserve(parlons.size());
    for (size_t i = 0; i < parlons.size(); ++i) {
        event.parlons.push_back({static_cast<uint32_t>(i), DisplayText(parlons[i].NicknameText()),
                                 parlons[i].Address().IpText(), parlons[i].port});
    }
    return event;
}

std::string FormatEvent(const NodeEvent& event, EventFormat format) {
    if (format == EventFormat::Json) {
        return Dump(std::visit(JsonFormatter{}, event));
    }
    return std::visit(TextFormatter{}, event);
}

}  // namespace parlon
