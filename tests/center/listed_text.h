// ListedText: a center's list as short texts for the center tests to compare: "nickname:port/kN"
// of each entry, "@ip" after the port when the entry is not on 127.0.0.1, N the index of its
// test::KeyText (4 when it is none of the first four).
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
