// Value records exchanged between the library and its host.
//
// The field order, the tag words and the element layout are fixed; pointer
// fields take the platform's width. The static_asserts pin the 64-bit layout.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Kex {

// High word of the tag of every matrix header. Read as a double, the tag is a
// NaN bit pattern, which lets the host tell a matrix header from a complex
// scalar when all it has is an untyped result address.
inline constexpr std::uint32_t kMatrixTag = 0x7FF40000u;

// Argument index meaning "the call as a whole".
inline constexpr std::uint32_t kWholeCall = 0xFFFFFFFFu;

// A complex scalar; the host number's data has exactly this layout.
struct aComplex {
  double rp;
  double ip;
};

// Declared by the interface; not used by this library.
struct cvComplex {
  double re;
  double im;
};

// A matrix header: column-major, element (r, c) at index c * rows + r.
struct aMatrix {
  std::uint32_t tag[2];  // [0] = rows, [1] = kMatrixTag
  std::uint32_t rows;
  std::uint32_t cols;
  double* m_rv;  // rows * cols real parts
  double* m_iv;  // rows * cols imaginary parts, or null for a real matrix
};

// Records of the same layout that the interface names separately.
struct aVector : aMatrix {};      // one column
struct aRealMatrix : aMatrix {};  // m_iv null
struct aRealVec : aMatrix {};     // one column, m_iv null
struct sMatrix : aMatrix {};
struct array_val : aMatrix {};

// The opaque result type handed to KexMarshal::UnMarshal.
struct Anyval;

// True when the record at p starts with a matrix tag.
inline bool is_matrix_record(const void* p) {
  return static_cast<const aMatrix*>(p)->tag[1] == kMatrixTag;
}

static_assert(sizeof(aComplex) == 16);
static_assert(sizeof(aMatrix) == 32, "tag, rows, cols and two pointers");
static_assert(offsetof(aMatrix, rows) == 8);
static_assert(offsetof(aMatrix, cols) == 12);
static_assert(offsetof(aMatrix, m_rv) == 16);
static_assert(offsetof(aMatrix, m_iv) == 24);
static_assert(sizeof(aVector) == sizeof(aMatrix));

}  // namespace Kex
