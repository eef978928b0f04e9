#include "kexio/host/errors.h"

#include <utility>

namespace Kex {

Exception::Exception(std::string message, std::uint32_t index, std::string detail)
    : m_message(std::move(message)), m_index(index), m_detail(std::move(detail)) {}
Exception::~Exception() = default;

ComError::ComError(std::string description) : m_description(std::move(description)) {}
ComError::~ComError() = default;

void Throw(const char* message, std::uint32_t index) {
  throw Exception(message != nullptr ? message : "", index);
}

void Throw(const char* message, std::uint32_t index, std::string detail) {
  throw Exception(message != nullptr ? message : "", index, std::move(detail));
}

}  // namespace Kex
