// ListedText: a center's list as texts to compare, "nickname:port/kN" ("nickname:port@ip/kN" off
// 127.0.0.1), N the index of the entry's test::KeyText (4 when it is none of the first four).
#pragma once

#include <string>
#include <vector>

#include "common/wire_records.h"
#include "support/test_support.h"

namespace parlon {

inline std::vector<std::string> ListedText(const std::vector<ParlonEntry>& list) {
    std::vector<std::string> listed;
    for (const ParlonEntry& entry : list) {
        size_t key = 0;
        while (key < 4 && entry.PublicKeyText() != test::KeyText(key)) {
            ++key;
        }
        std::string text = std::string(entry.NicknameText()) + ":" + std::to_string(entry.port);
        if (entry.ip != ParseIpv4("127.0.0.1")) {
            text += "@" + entry.Address().IpText();
        }
        listed.push_back(text + "/k" + std::to_string(key));
    }
    return listed;
}

}  // namespace parlon
