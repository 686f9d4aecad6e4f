#include "common/wire_records.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cassert>
#include <cstring>

#include "common/text_bounds.h"

namespace parlon {

std::string PeerAddress::IpText() const {
    char text[INET_ADDRSTRLEN] = {};
    in_addr address{};
    address.s_addr = ip;
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string_view ParlonEntry::PublicKeyText() const noexcept {
    return TextUpToNul({publicKey, sizeof publicKey});
}

std::string_view ParlonEntry::NicknameText() const noexcept {
    return TextUpToNul({nickname, sizeof nickname});
}

void ParlonEntry::SetNickname(std::string_view text) noexcept {
    std::memset(nickname, 0, sizeof nickname);
    std::copy_n(text.data(), std::min(text.size(), sizeof nickname), nickname);
}

void ParlonEntry::SetPublicKey(std::string_view key) noexcept {
    assert(key.size() < sizeof publicKey);
    std::memset(publicKey, 0, sizeof publicKey);
    std::copy_n(key.data(), std::min(key.size(), sizeof publicKey - 1), publicKey);
}

uint32_t ParseIpv4(const std::string& text) noexcept {
    return ::inet_addr(text.c_str());
}

}  // namespace parlon
