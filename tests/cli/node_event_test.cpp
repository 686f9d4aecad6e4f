#include "cli/node_event.h"

#include <gtest/gtest.h>

#include <string>

namespace parlon {
namespace {

std::string Json(const NodeEvent& event) {
    return FormatEvent(event, EventFormat::Json);
}
std::string Text(const NodeEvent& event) {
    return FormatEvent(event, EventFormat::Text);
}

ParlonEntry Entry(const char* ip, uint16_t port, std::string_view nickname) {
    ParlonEntry entry;
    entry.ip = ParseIpv4(ip);
    entry.port = port;
    entry.SetNickname(nickname);
    return entry;
}

TEST(NodeEventJsonTest, EachEventIsOneObjectWithItsFieldsInOrder) {
    EXPECT_EQ(Json(StatusEvent{"Connected"}), R"({"event":"status","text":"Connected"})");
    EXPECT_EQ(Json(MessageEvent{123, "hi", 30000}),
              R"({"event":"message","id":123,"text":"hi","replyTime":30000})");
    EXPECT_EQ(Json(ReplyEvent{"hi", "yes"}), R"({"event":"reply","message":"hi","reply":"yes"})");
    EXPECT_EQ(Json(SendingEvent{"D", "hi"}), R"({"event":"sending","to":"D","text":"hi"})");
    EXPECT_EQ(Json(ReplyingEvent{123, "yes"}), R"({"event":"replying","id":123,"text":"yes"})");
    EXPECT_EQ(Json(ForwardingEvent{"127.0.0.1"}), R"({"event":"forwarding","ip":"127.0.0.1"})");
    EXPECT_EQ(Json(ErrorEvent{"no such row"}), R"({"event":"error","text":"no such row"})");
}

TEST(NodeEventJsonTest, ListRowsCarryIndexNicknameIpAndPort) {
    const ListEvent list =
        ListEventOf({Entry("127.0.0.1", 9001, "A"), Entry("10.1.2.3", 65535, "B")});
    EXPECT_EQ(Json(list), R"({"event":"list","parlons":[)"
                          R"({"index":0,"nickname":"A","ip":"127.0.0.1","port":9001},)"
                          R"({"index":1,"nickname":"B","ip":"10.1.2.3","port":65535}]})");
    EXPECT_EQ(Json(ListEvent{}), R"({"event":"list","parlons":[]})");
}

TEST(NodeEventJsonTest, TwelveByteNicknameWithoutTerminatorIsShownWhole) {
    const ListEvent list = ListEventOf({Entry("127.0.0.1", 1, "twelve_chars")});
    ASSERT_EQ(list.parlons.size(), 1u);
    EXPECT_EQ(list.parlons[0].nickname, "twelve_chars");
}

TEST(NodeEventJsonTest, NicknameBytesThatAreNotUtf8ShowAsReplacementCharacters) {
    const ListEvent list = ListEventOf({Entry("127.0.0.1", 1, "a\xFF")});
    EXPECT_EQ(list.parlons[0].nickname, "a\xEF\xBF\xBD");
}

TEST(NodeEventJsonTest, TextsAreEscapedAndInvalidUtf8IsReplaced) {
    EXPECT_EQ(Json(MessageEvent{1, "a \"quote\"\nnew line", 0}),
              R"({"event":"message","id":1,"text":"a \"quote\"\nnew line","replyTime":0})");
    EXPECT_EQ(Json(ReplyEvent{"caf\xC3\xA9", "bad\xC3"}),
              "{\"event\":\"reply\",\"message\":\"caf\xC3\xA9\",\"reply\":\"bad\xEF\xBF\xBD\"}");
}

TEST(NodeEventTextTest, EveryEventIsOneReadableLine) {
    const ListEvent list =
        ListEventOf({Entry("127.0.0.1", 9001, "A"), Entry("127.0.0.1", 9002, "B")});
    const NodeEvent events[] = {
        StatusEvent{"Connected"},
        list,
        ListEvent{},
        MessageEvent{123, "hi", 30000},
        ReplyEvent{"hi", "yes"},
        SendingEvent{"D", "hi"},
        ReplyingEvent{123, "yes"},
        ForwardingEvent{"127.0.0.1"},
        ErrorEvent{"two\nlines"},
    };
    for (const NodeEvent& event : events) {
        const std::string line = Text(event);
        EXPECT_FALSE(line.empty());
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        EXPECT_NE(line.front(), '{') << line;
    }
    EXPECT_EQ(Text(StatusEvent{"Connected"}), "status: Connected");
    EXPECT_EQ(Text(list), R"(list: 0 "A" 127.0.0.1:9001, 1 "B" 127.0.0.1:9002)");
    EXPECT_EQ(Text(ListEvent{}), "list: (empty)");
    EXPECT_EQ(Text(MessageEvent{123, "hi", 30000}), R"(message 123: "hi" (reply time 30000 ms))");
    EXPECT_EQ(Text(ReplyEvent{"hi", "yes"}), R"(reply: "yes" to "hi")");
    EXPECT_EQ(Text(SendingEvent{"D", "hi"}), R"(sending "hi" to "D")");
    EXPECT_EQ(Text(ReplyingEvent{123, "yes"}), R"(replying "yes" to message 123)");
    EXPECT_EQ(Text(ForwardingEvent{"127.0.0.1"}), "forwarding to 127.0.0.1");
    EXPECT_EQ(Text(ErrorEvent{"two\nlines"}), "error: two lines");
}

TEST(NodeEventTextTest, ReceivedTextsAreQuotedSoThatNoTextBreaksTheLine) {
    EXPECT_EQ(Text(MessageEvent{5, "line\nbreak \"x\"", 1000}),
              R"(message 5: "line\nbreak \"x\"" (reply time 1000 ms))");
}

}  // namespace
}  // namespace parlon
