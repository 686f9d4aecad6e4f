// ComException: the one exception of the transport. Raised by a failing socket operation inside
// the transport and turned by the transport itself into a boolean result; never leaves it.
#pragma once

#include <cstdint>
#include <system_error>

namespace parlon {

class ComException {
public:
    explicit ComException(std::error_code error) : m_dwError(static_cast<uint32_t>(error.value())), m_error(error) {}

    // The system error code of the failed call.
    uint32_t Code() const noexcept { return m_dwError; }
    const std::error_code& Error() const noexcept { return m_error; }

private:
    uint32_t m_dwError;
    std::error_code m_error;
};

}  // namespace parlon
