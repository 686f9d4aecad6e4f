#include "center/registration_admission.h"

#include "crypto/public_key_cache.h"

namespace parlon {

namespace {

std::optional<std::string> CheckSource(uint32_t announcedIp, uint32_t sourceIp,
                                       const AdmissionOptions& options) {
    if (options.trustAnnouncedAddress || announcedIp == sourceIp) {
        return std::nullopt;
    }
    return "it names " + PeerAddress{announcedIp, 0}.IpText() + " but comes from " +
           PeerAddress{sourceIp, 0}.IpText();
}

}  // namespace

std::optional<std::string> AdmitRegistration(const ParlonEntry& entry, uint32_t sourceIp,
                                             const RegistryView& registry,
                                             const AdmissionOptions& options) {
    if (entry.ip == 0) {
        return "address 0.0.0.0 reaches nobody";
    }
    if (entry.port == 0) {
        return "port 0 reaches nobody";
    }
    if (std::optional<std::string> wrongSource = CheckSource(entry.ip, sourceIp, options)) {
        return wrongSource;
    }
    if (DecodePublicKey(entry.PublicKeyText()) == nullptr) {
        return "its key text is not a 2048-bit RSA public key";
    }
    if (!registry.IsListed(entry.Address()) &&
        registry.CountAtIp(entry.ip) >= options.maxPerAddress) {
        return "its address already holds " + std::to_string(options.maxPerAddress) + " entries";
    }
    return std::nullopt;
}

std::optional<std::string> AdmitSignOff(const PeerAddress& address, uint32_t sourceIp,
                                        const AdmissionOptions& options) {
    return CheckSource(address.ip, sourceIp, options);
}

}  // namespace parlon
