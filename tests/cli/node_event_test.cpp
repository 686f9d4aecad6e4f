#include "cli/node_event.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace parlon {
namespace {

// The other JSON events are checked as parlon-cli prints them, in its process test.
TEST(NodeEventTest, NoTextBreaksAJsonEventAndEachEventIsOneReadableLine) {
    // A nickname of twelve bytes has no terminator; its byte that is not UTF-8 shows as U+FFFD.
    ParlonEntry far = test::MakeEntry(65535, "elevenchars\xFF", "");
    far.ip = ParseIpv4("10.1.2.3");
    const ListEvent list = ListEventOf({test::MakeEntry(9001, "A", ""), far});
    EXPECT_EQ(
        FormatEvent(list, EventFormat::Json),
        R"({"event":"list","parlons":[{"index":0,"nickname":"A","ip":"127.0.0.1","port":9001},)"
        R"({"index":1,"nickname":"elevenchars�","ip":"10.1.2.3","port":65535}]})");
    EXPECT_EQ(FormatEvent(MessageEvent{123, "a \"q\"\nb\xC3", 30000}, EventFormat::Json),
              R"({"event":"message","id":123,"text":"a \"q\"\nb�","replyTime":30000})");
    EXPECT_EQ(FormatEvent(LostEvent{"D\n", "hi \"there\""}, EventFormat::Json),
              R"({"event":"lost","to":"D\n","text":"hi \"there\""})");
    // As text: names and texts quoted and escaped, an error on one line; a status as it is.
    const std::pair<NodeEvent, std::string> cases[] = {
        {StatusEvent{"Connected"}, "status: Connected"},
        {list, R"(list: 0 "A" 127.0.0.1:9001, 1 "elevenchars�" 10.1.2.3:65535)"},
        {MessageEvent{123, "a \"q\"\nb", 30000},
         R"(message 123: "a \"q\"\nb" (reply time 30000 ms))"},
        {ErrorEvent{"two\nlines"}, "error: two lines"},
        {LostEvent{"D", "hi\nthere"}, R"(lost "hi\nthere" to "D")"},
    };
    for (const auto& [event, text] : cases) {
        EXPECT_EQ(FormatEvent(event, EventFormat::Text), text);
    }
}

}  // namespace
}  // namespace parlon
