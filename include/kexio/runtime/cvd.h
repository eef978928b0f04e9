// The host runtime's values as the library sees them: numbers, matrices with
// a nested-element table, and UTF-16 strings; plus string conversion, error
// raising, result marshalling and matrix stacking.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <string>
#include <unordered_map>
#include <vector>

#include "kexio/host/values.h"

namespace Cvd {

// Base of every host value; Ref is the host's generic object type.
class Object {
 public:
  virtual ~Object();
};
using Ref = std::shared_ptr<Object>;

// A host number. Data has the Kex::aComplex layout.
class NumVal : public Object {
 public:
  NumVal() : Data{0.0, 0.0} {}
  explicit NumVal(double rp) : Data{rp, 0.0} {}
  explicit NumVal(std::int32_t v) : Data{static_cast<double>(v), 0.0} {}
  NumVal(double rp, double ip) : Data{rp, ip} {}
  ~NumVal() override;

  static const NumVal NaN;

  // The real part as a 32-bit integer, rounded to nearest.
  std::int32_t asInt() const;

  Kex::aComplex Data;
};

// A host string (UTF-16 code units).
class StrVal : public Object {
 public:
  explicit StrVal(std::u16string s) : m_str(std::move(s)) {}
  ~StrVal() override;
  std::u16string m_str;
};

// Element storage of a host matrix; the deleter knows where it came from.
using Array = std::shared_ptr<double[]>;
// Nested elements by column-major index: StrVal for text, MatVal for a
// matrix. Their slots in the real-part array hold the all-ones pattern. A
// table may draw its memory from a resource of its own (imported tables of
// many texts take it from one block); by default it uses the heap.
using Table = std::pmr::unordered_map<std::int32_t, Ref>;

// A host matrix over column-major arrays.
class MatVal : public Object {
 public:
  // collen is the column length of the arrays; it must equal rows.
  MatVal(Array re, Array im, std::uint32_t rows, std::uint32_t cols, std::uint32_t collen,
         std::shared_ptr<Table> parr);
  ~MatVal() override;

  // A rows x cols matrix of zeros.
  static std::shared_ptr<MatVal> Zeros(std::uint32_t rows, std::uint32_t cols,
                                       bool complex = false);

  std::uint32_t get_Rows() const { return Data.rows; }
  std::uint32_t get_Cols() const { return Data.cols; }
  // No nested element and no non-zero imaginary part.
  bool get_IsRealMatrix() const;
  bool get_HasImag() const { return m_iarr != nullptr; }
  double get_real(std::uint32_t row, std::uint32_t col) const;
  // The real part at a column-major index.
  double get_1(std::size_t index) const;
  // A numeric element's value goes to num and the result is null; a text
  // element returns its StrVal, a nested matrix its MatVal.
  Ref get_2_na(NumVal& num, std::uint32_t row, std::uint32_t col) const;

  double* real() const { return m_rarr.get() + m_offset; }
  double* imag() const { return m_iarr ? m_iarr.get() + m_offset : nullptr; }
  std::size_t size() const { return static_cast<std::size_t>(Data.rows) * Data.cols; }

  Array m_rarr;
  Array m_iarr;
  std::size_t m_offset = 0;
  std::shared_ptr<Table> m_parr;
  // The header record; the entry layer points m_rv and m_iv at element
  // m_offset of the arrays before a call.
  Kex::aMatrix Data;
};

// The all-ones pattern that marks a nested element's slot.
double NestedSlot();
bool IsNestedSlot(double v);

// Allocates an uninitialised array of n doubles.
Array NewArray(std::size_t n);

}  // namespace Cvd

namespace Vrt {

// Each UTF-16 code unit becomes the byte of its low 8 bits.
std::string StringToRawBytes(const std::u16string& s);
// Each byte becomes the code unit of the same value (Latin-1).
std::u16string RawBytesToString(const std::string& bytes);

namespace Run {
struct AppException {
  [[noreturn]] static void Raise(const std::u16string& message, std::uint32_t index);
};
}  // namespace Run

}  // namespace Vrt

struct KexMarshal {
  // A host matrix for a matrix header, a host number for a Kex::aComplex.
  // Large element arrays of the current arena are handed over to the host
  // value; everything else is copied, so the context may close afterwards.
  static Cvd::Ref UnMarshal(Kex::Anyval* result);
};

namespace Kex {
struct Matrix {
  // The first matrix with the second's rows appended below; null when the
  // two are not matrices or their column counts differ.
  static Cvd::Ref stack(const std::vector<Cvd::Ref>& pair);
};
}  // namespace Kex
