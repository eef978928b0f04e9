// Typed matrices of the host statistics library: the _univ_mat record, its
// element type codes, and the mutils::matuniv_* functions that size, fill,
// convert, read and write such records.
//
// The functions have C linkage (inside the namespace mutils), so a module
// that loads the library at run time finds them by their plain names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "kexio/host/values.h"

// Element type of a typed matrix (_univ_mat::type).
enum _mutil_data_type : std::int32_t {
  MUTIL_UINT8 = 0,   // unsigned 8-bit integer
  MUTIL_SINT8 = 1,   // signed 8-bit integer
  MUTIL_UINT16 = 2,  // unsigned 16-bit integer
  MUTIL_SINT16 = 3,  // signed 16-bit integer
  MUTIL_UINT32 = 4,  // unsigned 32-bit integer
  MUTIL_SINT32 = 5,  // signed 32-bit integer
  MUTIL_FLOAT = 6,   // IEEE 754 single precision
  MUTIL_DOUBLE = 7,  // IEEE 754 double precision
};

// A typed matrix: rows x cols elements of one type, stored row by row
// (element (r, c) at index r * cols + c), in the byte order of this machine.
struct _univ_mat {
  std::int32_t rows;
  std::int32_t cols;
  std::uint32_t storage;  // the library's own: where data came from (below)
  void* data;
  std::int32_t type;  // a _mutil_data_type
};

static_assert(offsetof(_univ_mat, rows) == 0);
static_assert(offsetof(_univ_mat, cols) == 4);
static_assert(offsetof(_univ_mat, storage) == 8);
static_assert(offsetof(_univ_mat, data) == 16);
static_assert(offsetof(_univ_mat, type) == 24);
static_assert(sizeof(_univ_mat) == 32);

// Values of _univ_mat::storage.
enum : std::uint32_t {
  MUTIL_STORAGE_NONE = 0,    // no elements, or no memory could be had
  MUTIL_STORAGE_HEAP = 1,    // the library's heap block, released by matuniv_free
  MUTIL_STORAGE_ARENA = 2,   // an array of the call's arena, released when the call ends
  MUTIL_STORAGE_SHARED = 3,  // elements owned by a host matrix or another record
};

namespace mutils {
extern "C" {

// Sizes m as rows x cols elements of the type, with storage for them. The
// storage is taken from the innermost open call arena when there is one (it
// then lives until that call's context closes), else from the heap. When the
// shape is invalid or no memory can be had, m has a null data pointer and the
// functions below refuse it.
void matuniv_malloc(_univ_mat* m, std::int32_t rows, std::int32_t cols, _mutil_data_type type);

// Releases what the library allocated for m and leaves it empty.
void matuniv_free(_univ_mat* m);

// Fills every element of m from f: the elements follow each other from byte
// skip on, row by row, little-endian when endian is 0 and big-endian
// otherwise. Null on success, else a message (also when the file ends early).
const char* matuniv_read_raw(std::FILE* f, std::int32_t skip, unsigned char endian, void* context,
                             _univ_mat* m);

// Writes every element of m at the current position of f, in the layout
// matuniv_read_raw reads, and flushes; consecutive calls append, so a matrix
// may be written a band of rows at a time. Null on success, else a message.
const char* matuniv_write_raw(std::FILE* f, const _univ_mat* m, unsigned char endian,
                              void* context);

// Stores every element of m, converted to double, at the same row and column
// of out, which must have m's shape. A double record of one row or one column
// whose storage is the call's arena is handed to out instead of copied (out's
// own array is then left unused), as both already have the same layout. A
// record whose elements are packed at the very end of out's own array, with
// rows of at most 8 bytes, is converted in place (for a double record that
// is out's array itself, and nothing is left to do); any other overlap is
// refused.
const char* matuniv_assign_to_corvida(const _univ_mat* m, Kex::aMatrix* out);

// Copies the real parts of in into m, a double record of in's shape. When in
// has one row or one column the record shares in's array instead (the layouts
// coincide), so in must outlive m and m must not be written to.
const char* matuniv_assign_from_corvida(const Kex::aMatrix* in, _univ_mat* m);

// Converts every element of src into dst's type (dst has src's shape). To an
// integer type the value is rounded to the nearest integer, halves away from
// zero, and saturated at the type's range; NaN becomes 0. To float it is
// rounded to the nearest single (out-of-range values become infinities, NaN
// stays NaN). To double it is exact; a double source is then shared rather
// than copied. The option byte selects rounding; this library rounds for
// every option.
void matuniv_cast(const _univ_mat* src, unsigned char option, void* context, _univ_mat* dst);

}  // extern "C"
}  // namespace mutils
