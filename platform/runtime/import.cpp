// The runtime's side of data import: the object wrapper that owns what the
// import library returned, and the two value factories.
#include "kexio/runtime/import.h"

#include <limits>
#include <memory>
#include <memory_resource>
#include <string>
#include <vector>

#include "core/memory.h"
#include "kexio/host/errors.h"

namespace Cvd {

ComObject::~ComObject() {
  if (m_table != nullptr && m_table->release != nullptr) m_table->release(m_table);
}

}  // namespace Cvd

namespace {

[[noreturn]] void invalid() {
  throw Kex::Exception("the imported value is not a valid table", Kex::kWholeCall);
}

// Checks that the table's fields describe what they claim before anything is
// adopted: arrays present, strings inside the pool, text elements inside the
// table with their slots marked.
void check(const KexTable& t) {
  std::uint64_t n = std::uint64_t{t.rows} * t.cols;
  if (n != 0 && t.re == nullptr) invalid();
  if (t.text_count != 0 && t.texts == nullptr) invalid();
  // A pool of empty texts has no characters, and its array may be absent.
  if (t.string_count != 0 && t.strings == nullptr) invalid();
  if (t.char_count != 0 && t.chars == nullptr) invalid();
  for (std::uint64_t i = 0; i < t.string_count; ++i) {
    const KexTableString& s = t.strings[i];
    if (s.offset > t.char_count || s.length > t.char_count - s.offset) invalid();
  }
  for (std::uint64_t i = 0; i < t.text_count; ++i) {
    const KexTableText& x = t.texts[i];
    if (x.index >= n || x.index > std::uint64_t{std::numeric_limits<std::int32_t>::max()} ||
        x.string >= t.string_count || !Cvd::IsNestedSlot(t.re[x.index])) {
      invalid();
    }
  }
}

// An anonymous mapping (in huge pages when large), released when
// destroyed; empty when none can be had.
struct Block {
  explicit Block(std::size_t n) : bytes(kexio::memory::mapping_size(n)), p(kexio::memory::map(n)) {
    if (p == nullptr) bytes = 0;
  }
  ~Block() { kexio::memory::unmap(p, bytes); }
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  std::size_t bytes;
  void* p;
};

// The element table of a matrix with many texts, with memory of its own: its
// nodes and buckets come from one block that a monotonic resource hands out
// (the heap serves whatever does not fit). A node per element from the heap
// would cost a first-touch page fault every 4 KiB.
struct OwnTable {
  explicit OwnTable(std::size_t elements)
      : block(elements * 48 + 4096),
        resource(block.p, block.bytes, std::pmr::new_delete_resource()),
        table(&resource) {}
  Block block;
  std::pmr::monotonic_buffer_resource resource;
  Cvd::Table table;
};

// Tables of fewer elements use the heap.
constexpr std::uint64_t kOwnTableFrom = 16384;

}  // namespace

namespace Corvida::Components {

Cvd::Ref VSValueFactory::FromVSData(const Cvd::Ref& object) {
  auto com = std::dynamic_pointer_cast<Cvd::ComObject>(object);
  if (!com || com->table() == nullptr) invalid();
  const KexTable& t = *com->table();
  check(t);
  // The arrays stay with the object; the matrix keeps it alive.
  auto adopt = [&com](const double* p) {
    return p == nullptr ? Cvd::Array() : Cvd::Array(const_cast<double*>(p), [com](double*) {});
  };
  std::uint64_t n = std::uint64_t{t.rows} * t.cols;
  Cvd::Array re = n != 0 ? adopt(t.re) : nullptr;
  Cvd::Array im = n != 0 ? adopt(t.im) : nullptr;
  std::shared_ptr<Cvd::Table> texts;
  if (t.text_count != 0) {
    std::vector<Cvd::Ref> strings(t.string_count);
    for (std::uint64_t i = 0; i < t.string_count; ++i) {
      const KexTableString& x = t.strings[i];
      strings[i] = std::make_shared<Cvd::StrVal>(
          x.length == 0 ? std::u16string() : std::u16string(t.chars + x.offset, x.length));
    }
    if (t.text_count >= kOwnTableFrom) {
      auto own = std::make_shared<OwnTable>(t.text_count);
      texts = std::shared_ptr<Cvd::Table>(own, &own->table);
    } else {
      texts = std::make_shared<Cvd::Table>();
    }
    texts->reserve(t.text_count);
    for (std::uint64_t i = 0; i < t.text_count; ++i) {
      texts->emplace(static_cast<std::int32_t>(t.texts[i].index), strings[t.texts[i].string]);
    }
  }
  return std::make_shared<Cvd::MatVal>(re, im, t.rows, t.cols, t.rows, texts);
}

}  // namespace Corvida::Components

namespace Corvida::Automation {

Cvd::Ref ValueFactory::FromAutomation(const Cvd::Ref& value) {
  Cvd::Object* v = value.get();
  if (dynamic_cast<Cvd::MatVal*>(v) == nullptr && dynamic_cast<Cvd::NumVal*>(v) == nullptr &&
      dynamic_cast<Cvd::StrVal*>(v) == nullptr) {
    throw Kex::Exception("the imported value is not a worksheet value", Kex::kWholeCall);
  }
  return value;
}

}  // namespace Corvida::Automation
