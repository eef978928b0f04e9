// What the parts of the image library share: sample types, matrices turned
// into rows of samples, the output file, and the picture writers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "io/replace.h"
#include "kexio/host/context.h"
#include "kexstatscir/matuniv.h"

namespace keximager {

using Kex::aComplex;
using Kex::aMatrix;

// One element type of raw files: READBIN's type words, little endian, or
// with "be" appended for big endian ("uint16be").
struct SampleType {
  _mutil_data_type code;
  unsigned size;  // bytes
  bool big_endian;
};
// The type a word names; false for any other word.
bool sample_type(const char* word, SampleType& out);

// A matrix of `planes` planes side by side (pixel x of plane p in column
// p * width + x) turned into rows of interleaved samples (pixel after pixel,
// plane after plane within a pixel) of one sample type, a band of rows at a
// time. Values are converted as the statistics library casts them: rounded
// to the nearest integer, halves away from zero, saturated at the type's
// range, NaN as 0 (to float: the nearest single).
class RowPacker {
 public:
  RowPacker(const aMatrix* m, unsigned planes, SampleType type, std::size_t band_bytes);
  std::uint32_t height() const { return m_rows; }
  std::uint32_t width() const { return m_width; }
  std::size_t row_bytes() const { return m_row_bytes; }
  // Rows converted per call, at least 1.
  std::uint32_t band_rows() const { return m_band_rows; }
  // Rows top .. top + count - 1 (count <= band_rows()), one after another;
  // valid until the next call, and free to be changed by the caller.
  std::uint8_t* rows(std::uint32_t top, std::uint32_t count);
  // The same into band (room for count rows) with tile (tile_bytes()) as
  // scratch: calls with buffers of their own may run on several threads.
  void rows_into(std::uint32_t top, std::uint32_t count, std::uint8_t* band,
                 std::uint8_t* tile) const;
  std::size_t tile_bytes() const;

 private:
  const double* m_data;
  std::uint32_t m_rows, m_width;
  unsigned m_planes;
  SampleType m_type;
  std::size_t m_row_bytes;
  std::uint32_t m_band_rows;
  std::uint32_t m_group;  // columns converted together
  std::unique_ptr<std::uint8_t[]> m_band, m_tile;
};

// The local path of a worksheet file name given as a byte string (mode 1
// reading, 2 writing); the resolver's refusal is raised with its
// description for the whole call.
std::string resolve(const char* file, const char* cwd, int mode);

// "file write error: <why>" for the whole call.
[[noreturn]] void write_failed(const std::string& why);
[[noreturn]] void write_failed(int error);

// A file being written: an existing file is replaced only by commit(), so
// a call that fails leaves it as it was (see io::Replacement).
class Output {
 public:
  // Raises the system's reason for the whole call when path cannot be
  // written. access: O_WRONLY, or O_RDWR for writers that read back.
  Output(const std::string& path, int access);
  int fd() const { return m_file.fd(); }
  void write(const void* data, std::size_t n);
  void commit();

 private:
  kexio::io::Replacement m_file;
};

// The raw-image entries (their arguments as the entries receive them).
aMatrix* read_raw(KexCallContext* ctx, const char* file, const aComplex* x, const aComplex* y,
                  const aComplex* z, const char* s, const aComplex* k, const char* cwd);
void write_raw(const aMatrix* m, const char* file, const aComplex* x, const char* s,
               const char* cwd);

// The picture writers: a matrix of one plane (grey) or three (red, green,
// blue) as 8-bit samples.
constexpr SampleType kByte{MUTIL_UINT8, 1, false};
enum class PnmKind { kBitmap, kGrey, kColour };  // P4, P5, P6
void write_pnm(Output& out, const aMatrix* m, PnmKind kind);
void write_tiff(Output& out, const aMatrix* m, unsigned planes);
void write_png(Output& out, const aMatrix* m, unsigned planes);

}  // namespace keximager
