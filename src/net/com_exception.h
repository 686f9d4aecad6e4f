// ComException: the one exception of the transport. Raised by a failing socket operation inside
// the transport and turned by the transport itself into a boolean result; never leaves it.
#pragma once

#include <system_error>

namespace parlon {

class ComException {
  public:
    explicit ComException(std::error_code error) : m_error(error) {}

    // The system error of the failed call.
    const std::error_code& Error() const noexcept { return m_error; }

  private:
    std::error_code m_error;
};

}  // namespace parlon
