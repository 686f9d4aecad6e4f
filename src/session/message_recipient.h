// MessageRecipient: the parlon a new message is for, as the user chose it. A compose form holds
// one from the moment the user picks a row; at sending time the session looks the parlon up in
// the list in use by its address, port and key text, so that a list switch in between can never
// send the text to whoever holds that row by then.
//
// A plain value; any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/wire_records.h"

namespace parlon {

struct MessageRecipient {
    PeerAddress address;
    std::string publicKey;  // the key text the parlon had when it was chosen
    std::string nickname;   // for the user: valid UTF-8 (U+FFFD for bytes that are not)

    static MessageRecipient Of(const ParlonEntry& entry);

    // True when `entry` is this parlon: same address, port and key text. A parlon that came back
    // with another key pair is another parlon to the sender: the old key is what was chosen.
    bool IsEntry(const ParlonEntry& entry) const;
    // The row of this parlon in `parlons`, or nullopt when it is not there.
    std::optional<size_t> FindIn(const std::vector<ParlonEntry>& parlons) const;
};

// What the user is told when a message was not sent because `nickname`, its recipient, is no
// longer in the list in use.
std::string NotSentText(std::string_view nickname);

}  // namespace parlon
