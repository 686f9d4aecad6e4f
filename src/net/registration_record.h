// RegistrationRecord: the own entry and the center's address, as a CenterConnection keeps them
// and builds its Registration and SignOff packets from. In memory only, never sent as it is.
// A plain value.
#pragma once

#include "common/wire_records.h"

namespace parlon {

#pragma pack(push, 1)
struct RegistrationRecord {
    ParlonEntry ownEntry;
    PeerAddress center;
};
#pragma pack(pop)
static_assert(sizeof(RegistrationRecord) == 423);

}  // namespace parlon
