// The error model: a message and the 1-based index of the argument it belongs
// to (kWholeCall for the call as a whole), and optionally a detail that says
// why and where ("no such file: /data/a.prn", "line 17 has 3 values, the
// rows above have 4"). The message is the documented text, exactly; the
// detail is our own UTF-8 text for people, never needed to tell failures
// apart. Kex::Throw and Vrt::Run::AppException::Raise both throw
// Kex::Exception; the host catches it.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "kexio/host/values.h"

namespace Kex {

class Exception : public std::exception {
 public:
  Exception(std::string message, std::uint32_t index, std::string detail = {});
  ~Exception() override;
  const char* what() const noexcept override { return m_message.c_str(); }
  const std::string& message() const noexcept { return m_message; }
  std::uint32_t index() const noexcept { return m_index; }
  // Empty when the failure says nothing beyond its message.
  const std::string& detail() const noexcept { return m_detail; }

 private:
  std::string m_message;  // the message bytes exactly as raised
  std::uint32_t m_index;
  std::string m_detail;
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
// The same with a detail beside the message.
[[noreturn]] void Throw(const char* message, std::uint32_t index, std::string detail);

}  // namespace Kex
