#include "session/message_recipient.h"

#include <algorithm>

#include "common/utf8_text.h"

namespace parlon {

MessageRecipient MessageRecipient::Of(const ParlonEntry& entry) {
    return {entry.Address(), std::string(entry.PublicKeyText()), DisplayText(entry.NicknameText())};
}

bool MessageRecipient::IsEntry(const ParlonEntry& entry) const {
    return entry.Address() == address && entry.PublicKeyText() == publicKey;
}

std::optional<size_t> MessageRecipient::FindIn(const std::vector<ParlonEntry>& parlons) const {
    const auto found =
        std::ranges::find_if(parlons, [this](const ParlonEntry& entry) { return IsEntry(entry); });
    if (found == parlons.end()) {
        return std::nullopt;
    }
    return static_cast<size_t>(found - parlons.begin());
}

std::string NotSentText(std::string_view nickname) {
    return std::string(nickname) + " has left the network; your message was not sent.";
}

}  // namespace parlon
