// The error model: a message and the 1-based index of the argument it belongs
// to (kWholeCall for the call as a whole). Kex::Throw and
// Vrt::Run::AppException::Raise both throw Kex::Exception; the host catches it.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "kexio/host/values.h"

namespace Kex {

class Exception : public std::exception {
 public:
  Exception(std::string message, std::uint32_t index);
  ~Exception() override;
  const char* what() const noexcept override { return m_message.c_str(); }
  const std::string& message() const noexcept { return m_message; }
  std::uint32_t index() const noexcept { return m_index; }

 private:
  std::string m_message;  // the message bytes exactly as raised
  std::uint32_t m_index;
};

// The resolver's failure (the platform's COM error): workers catch it and
// report its description.
class ComError : public std::exception {
 public:
  explicit ComError(std::string description);
  ~ComError() override;
  const char* what() const noexcept override { return m_description.c_str(); }
  const std::string& Description() const noexcept { return m_description; }

 private:
  std::string m_description;
};

// Reports message at argument index; never returns.
[[noreturn]] void Throw(const char* message, std::uint32_t index);

}  // namespace Kex
