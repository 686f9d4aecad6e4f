// AdmitRegistration, AdmitSignOff: which requests a center acts on. A pure function of the
// request, the address it came from, what the registry holds and the options, called once
// where a request is handled, so the same rules hold whatever keeps the registry.
//
// A registration is refused when its entry could not be used by anyone who draws it: a key
// text that is not a 2048-bit RSA public key, address 0.0.0.0 or port 0; when it names another
// host than the one it comes from (so nobody can point the network's traffic at a victim); and
// when it is new and its address already holds the most entries one address may hold. An entry
// already listed always renews, so a full address never locks its own parlons out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "common/wire_records.h"

namespace parlon {

struct AdmissionOptions {
    // Behind a proxy every request comes from the proxy's address: take the announced one.
    bool trustAnnouncedAddress = false;
    // New entries on one IPv4 address beyond this many are refused; enough for a crowd of
    // parlons behind one NAT, not enough for one host to fill the list.
    size_t maxPerAddress = 64;
};

// What admission asks of the registry.
class RegistryView {
  public:
    virtual ~RegistryView() = default;
    virtual bool IsListed(const PeerAddress& address) const = 0;
    // How many entries have this IPv4 address (network order), whatever their ports.
    virtual size_t CountAtIp(uint32_t ip) const = 0;
};

// nullopt when `entry`, registered from `sourceIp` (network order), is admitted; otherwise the
// reason for the log.
std::optional<std::string> AdmitRegistration(const ParlonEntry& entry, uint32_t sourceIp,
                                             const RegistryView& registry,
                                             const AdmissionOptions& options);

// nullopt when a sign-off of `address` from `sourceIp` counts: only from the address it names.
std::optional<std::string> AdmitSignOff(const PeerAddress& address, uint32_t sourceIp,
                                        const AdmissionOptions& options);

}  // namespace parlon
