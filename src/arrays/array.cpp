#include "arrays/array.h"

#include <cstdlib>
#include <limits>
#include <utility>

#include "core/memory.h"

namespace Kex {

std::size_t dtype_size(Dtype t) {
  switch (t) {
    case Dtype::boolean:
    case Dtype::uint8:
    case Dtype::int8:
      return 1;
    case Dtype::uint16:
    case Dtype::int16:
      return 2;
    case Dtype::uint32:
    case Dtype::int32:
    case Dtype::float32:
      return 4;
    case Dtype::int64:
    case Dtype::float64:
      return 8;
    case Dtype::other_type:
      break;
  }
  return 0;
}

const char* dtype_name(Dtype t) {
  static const char* const kNames[] = {"bool",  "uint8", "uint16",  "uint32",  "int8", "int16",
                                       "int32", "int64", "float32", "float64", "other"};
  return kNames[static_cast<int>(t)];
}

ArrayError::ArrayError(Kind kind, std::string message)
    : m_kind(kind), m_message(std::move(message)) {}
ArrayError::~ArrayError() = default;

}  // namespace Kex

namespace kexio::arrays {

std::size_t samples(const std::vector<std::int64_t>& shape, std::size_t size) {
  std::uint64_t n = 1;
  bool too_large = false;
  for (std::int64_t d : shape) {
    if (d < 0) refuse_value("a negative extent");
    const auto u = static_cast<std::uint64_t>(d);
    if (u != 0 && n > std::numeric_limits<std::uint64_t>::max() / u) too_large = true;
    n *= u;
  }
  if (n == 0) return 0;
  if (too_large || n > memory::physical() / (size == 0 ? 1 : size)) {
    Kex::Throw("out of memory", Kex::kWholeCall);
  }
  return static_cast<std::size_t>(n);
}

Kex::Array make(Kex::Dtype type, std::vector<std::int64_t> shape, Start start,
                std::uint32_t index) {
  const std::size_t size = Kex::dtype_size(type);
  const std::size_t bytes = samples(shape, size) * size;
  Kex::Array a;
  a.dtype = type;
  a.shape = std::move(shape);
  // Arrays beyond the largest size below which malloc reuses freed memory
  // (glibc's largest mmap threshold, 32 MiB) are fresh mappings either way:
  // one of huge pages takes 512 times fewer page faults, which are most of
  // the cost of filling it. Smaller arrays come from malloc, whose freed
  // blocks are reused without new faults, as numpy's own are.
  constexpr std::size_t kHugeFrom = std::size_t{32} << 20;
  if (bytes >= kHugeFrom) {
    void* p = memory::map(bytes);
    if (p == nullptr) Kex::Throw("out of memory", index);
    const std::size_t mapped = memory::mapping_size(bytes);
    a.data = std::shared_ptr<void>(p, [mapped](void* q) { memory::unmap(q, mapped); });
    return a;
  }
  // Zeroed unless the caller fills it, as the mappings are: a codec that
  // reports a strip whole but leaves rows of it unwritten (a damaged
  // JPEG-in-TIFF does) must not hand out whatever the heap held before.
  const std::size_t n = bytes == 0 ? 1 : bytes;
  void* p = start == Start::zeros ? std::calloc(n, 1) : std::malloc(n);
  if (p == nullptr) Kex::Throw("out of memory", index);
  a.data = std::shared_ptr<void>(p, [](void* q) { std::free(q); });
  return a;
}

std::string describe(const Kex::ArrayView& a) {
  std::string s = "(";
  for (std::size_t i = 0; i < a.shape.size(); ++i)
    s += (i != 0 ? ", " : "") + std::to_string(a.shape[i]);
  if (a.shape.size() == 1) s += ",";
  return s + ") " + (a.type_name.empty() ? Kex::dtype_name(a.dtype) : a.type_name);
}

void refuse_type(const std::string& message) {
  throw Kex::ArrayError(Kex::ArrayError::kType, message);
}

void refuse_value(const std::string& message) {
  throw Kex::ArrayError(Kex::ArrayError::kValue, message);
}

}  // namespace kexio::arrays
