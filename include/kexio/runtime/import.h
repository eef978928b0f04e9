// What the host's data-import library hands back, and the runtime's two value
// factories that turn it into a worksheet value.
//
// The library returns a KexTable, our form of the COM object it returns on
// the original platform: a plain record of the imported table together with
// the function that frees it. Whoever holds it calls release exactly once;
// Cvd::ComObject does that for the runtime.
#pragma once

#include <cstdint>

#include "kexio/runtime/cvd.h"

// A text of a table: its UTF-16 code units in the table's character pool.
struct KexTableString {
  std::uint64_t offset;
  std::uint64_t length;
};

// A text element of a table: its column-major index and the number of its
// text among the table's strings (equal texts may share one). Host matrices
// index their text elements with 32-bit numbers, so a table with texts has at
// most 2^31 elements.
struct KexTableText {
  std::uint32_t index;
  std::uint32_t string;
};

struct KexTable {
  void (*release)(KexTable* self);
  std::uint32_t rows;
  std::uint32_t cols;
  // rows * cols real parts, column-major; a text element's slot holds the
  // nested-slot pattern (Cvd::NestedSlot).
  const double* re;
  // rows * cols imaginary parts, or null for a real table.
  const double* im;
  // The text elements in ascending order of their index.
  const KexTableText* texts;
  std::uint64_t text_count;
  const KexTableString* strings;
  std::uint64_t string_count;
  const char16_t* chars;
  std::uint64_t char_count;
};

// The import library's entry point "readfile": imports the file named fname
// (resolved against cwd) of the given type. Rows and columns are 1-based and
// inclusive; a first of 0 means no range was given and a last of -1 means to
// the end. The replacement of missing values is the complex number
// (missing_re, missing_im), or the Latin-1 text missing_str when that is not
// null. schema holds schema_len field widths or is null. irowrange and
// icolrange are the argument positions of the ranges (0: absent), used for
// errors. On failure the result is null and *error_message (valid until the
// thread's next call) and *error_index tell what went wrong and where.
using KexReadFile = KexTable* (*)(const char* cwd, const char* fname, const char* type,
                                  std::int32_t row_first, std::int32_t row_last,
                                  std::int32_t col_first, std::int32_t col_last, double missing_re,
                                  double missing_im, const char* missing_str,
                                  const std::int32_t* schema, std::int32_t schema_len,
                                  std::int32_t irowrange, std::int32_t icolrange,
                                  const char** error_message, std::uint32_t* error_index);

namespace Cvd {

// A host object around a KexTable (the platform's wrapper of a COM object):
// it owns the table and releases it when the last reference goes.
class ComObject : public Object {
 public:
  explicit ComObject(KexTable* table) : m_table(table) {}
  ~ComObject() override;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;
  const KexTable* table() const { return m_table; }

 private:
  KexTable* m_table;
};

}  // namespace Cvd

namespace Corvida {
namespace Components {
struct VSValueFactory {
  // The imported table as a host matrix: its element arrays are adopted, not
  // copied (they stay alive with the object), and each text becomes a string
  // element; elements with the same text share one host string. Throws
  // Kex::Exception when the object holds no valid table.
  static Cvd::Ref FromVSData(const Cvd::Ref& object);
};
}  // namespace Components
namespace Automation {
struct ValueFactory {
  // Host values are already worksheet values and pass unchanged; anything
  // else throws Kex::Exception.
  static Cvd::Ref FromAutomation(const Cvd::Ref& value);
};
}  // namespace Automation
}  // namespace Corvida
