#include "session/lost_message_watch.h"

#include <algorithm>

#include "crypto/message_format.h"

namespace parlon {

namespace mf = message_format;

std::chrono::milliseconds LostMessageWatch::ReplyBound(const CenterSchedule& schedule,
                                                       uint32_t hopCount,
                                                       std::chrono::milliseconds deliveryDeadline) {
    using std::chrono::milliseconds;
    const int64_t hops = std::max<uint32_t>(hopCount, 1);
    const int64_t poll = schedule.pollPeriod;
    const int64_t replySteps = (int64_t{schedule.replyTime} + 999) / 1000;
    return milliseconds(2 * hops * (deliveryDeadline.count() + poll) + poll + replySteps * 1000 +
                        1000) +
           kMarginMs;
}

void LostMessageWatch::Watch(const PeerAddress& firstHop, const ByteBuffer& packet, Sent sent,
                             Clock::time_point deadline) {
    if (packet.Length() < mf::kForwardLayerOffset ||
        packet.Data()[mf::kTagOffset] != mf::kForwardTag) {
        return;
    }
    const MessageLink firstLink{firstHop, mf::LoadMessageId(packet.Data() + mf::kForwardIdOffset)};
    m_watched.push_back({firstLink, deadline, std::move(sent)});
}

std::optional<LostMessageWatch::Sent> LostMessageWatch::Settle(const ByteBuffer& packet) {
    if (packet.Length() < mf::kReplyPacketSize || packet.Data()[mf::kTagOffset] != mf::kReplyTag) {
        return std::nullopt;
    }
    const MessageLink replied{mf::LoadAddress(packet.Data() + mf::kReplySenderOffset),
                              mf::LoadMessageId(packet.Data() + mf::kReplyIdOffset)};
    const auto found = std::find_if(m_watched.begin(), m_watched.end(),
                                    [&](const Watched& w) { return w.firstLink == replied; });
    if (found == m_watched.end()) {
        return std::nullopt;
    }
    Sent settled = std::move(found->sent);
    m_watched.erase(found);
    return settled;
}

std::vector<LostMessageWatch::Sent> LostMessageWatch::TakeOverdue(Clock::time_point now) {
    std::vector<Sent> overdue;
    // Those still in time first, then the overdue ones, each in the order they were sent.
    const auto firstOverdue =
        std::stable_partition(m_watched.begin(), m_watched.end(),
                              [&](const Watched& watched) { return watched.deadline > now; });
    for (auto it = firstOverdue; it != m_watched.end(); ++it) {
        overdue.push_back(std::move(it->sent));
    }
    m_watched.erase(firstOverdue, m_watched.end());
    return overdue;
}

std::vector<LostMessageWatch::Sent> LostMessageWatch::TakeAll() {
    return TakeOverdue(Clock::time_point::max());
}

}  // namespace parlon
