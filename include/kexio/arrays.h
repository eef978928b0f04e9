// Typed arrays: pictures and recordings as numpy, Pillow and scipy users hold
// them, beside the worksheet's matrices of doubles. A picture is read in the
// file's own channels and sample type into a C-ordered array of (rows,
// columns[, channels]); a WAV file's samples come as scipy.io.wavfile gives
// them. Hosts that think in such arrays (the Python module's imread, imwrite,
// wavread, wavwrite and wavinfo) call these functions.
//
// A failure throws Kex::Exception with a documented message (the one the
// worksheet function of the same family reports), the argument it belongs to
// (1: the file) or Kex::kWholeCall, and a detail; an array that the file
// cannot hold throws Kex::ArrayError. The functions may be called from
// several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "kexio/export.h"
#include "kexio/host/errors.h"

namespace Kex {

// The sample types of typed arrays, named as numpy names them; other_type
// stands for any type the library has no use for.
enum class Dtype : std::uint8_t {
  boolean,
  uint8,
  uint16,
  uint32,
  int8,
  int16,
  int32,
  int64,
  float32,
  float64,
  other_type,
};

// Bytes per sample (0 for other_type), and the numpy name ("uint8").
KEXIO_API std::size_t dtype_size(Dtype t);
KEXIO_API const char* dtype_name(Dtype t);

// A C-ordered array made by the library: the product of shape samples of
// dtype at data, in the host's byte order. The memory is released with the
// last copy of data.
struct Array {
  Dtype dtype = Dtype::uint8;
  std::vector<std::int64_t> shape;
  std::shared_ptr<void> data;
};

// A C-ordered array in the host's byte order that the caller holds while a
// writer runs. type_name names the type in messages (numpy's name of it,
// "complex128"); empty means dtype_name(dtype).
struct ArrayView {
  Dtype dtype = Dtype::uint8;
  std::vector<std::int64_t> shape;
  const void* data = nullptr;
  std::string type_name;
};

// An array a writer refuses: of a type (kType) or a shape or value (kValue)
// the file cannot hold. Nothing is written then, and an existing file stays
// as it was.
class KEXIO_API ArrayError : public std::exception {
 public:
  enum Kind { kType, kValue };
  ArrayError(Kind kind, std::string message);
  ~ArrayError() override;
  const char* what() const noexcept override { return m_message.c_str(); }
  Kind kind() const noexcept { return m_kind; }

 private:
  Kind m_kind;
  std::string m_message;
};

// ---------------------------------------------------------------------------
// WAV files, as scipy.io.wavfile reads and writes them.

// The format chunk of a WAV file and the frames of its data chunk. format is
// 1 (integer PCM) or 3 (IEEE float); an extensible file gives its
// sub-format.
struct WavInfo {
  std::uint32_t channels = 0;
  std::uint32_t rate = 0;
  std::uint32_t bits = 0;
  std::uint32_t byte_rate = 0;
  std::uint64_t frames = 0;
  std::uint16_t format = 0;
};

KEXIO_API WavInfo wav_info(const std::string& path);

// The samples: (frames,) for one channel, else (frames, channels); uint8 for
// 1 to 8 bits, int16, int32 and int64 for samples stored in 2, 4 and 8
// bytes, int32 for 3 bytes and int64 for 5 to 7, the stored bytes then in
// the upper bytes (a 24-bit 1 reads as 256); float32 and float64 for IEEE
// float. info, when given, receives wav_info's answer.
KEXIO_API Array read_wav(const std::string& path, WavInfo* info = nullptr);

// Writes data ((frames,) or (frames, channels)) as scipy.io.wavfile.write
// does, byte for byte: the type chooses the format (uint8 and int8 as 8-bit,
// int16, int32, int64 as PCM of their width, float32 and float64 as IEEE
// float with a fact chunk). Any other type, or data beyond 4 GiB, is an
// ArrayError.
KEXIO_API void write_wav(const std::string& path, std::uint32_t rate, const ArrayView& data);

// ---------------------------------------------------------------------------
// Pictures.

// The channels read_image gives: the file's own, grey (1), colour (3), or
// colour and alpha (4). The sample type is the file's in every mode.
enum class ImageMode : std::uint8_t { file, grey, rgb, rgba };

// The picture in any format the worksheet's READRGB reads: (rows, columns)
// for grey, (rows, columns, 2) grey and alpha, (rows, columns, 3) colour
// (palette images as their colours), (rows, columns, 4) colour and alpha;
// uint8 up to 8 bits per sample, uint16 for 9 to 16, and a TIFF file's own
// type for 32-bit integer and floating-point samples (bool never: 1-bit
// pictures are grey levels 0 and 255). Grey of colour is the format's
// READ_IMAGE formula at the file's depth.
KEXIO_API Array read_image(const std::string& path, ImageMode mode = ImageMode::file);

// Writes a picture of (rows, columns[, channels]) in the format its name's
// extension names: .png (uint8, uint16; 1 to 4 channels), .tif/.tiff (uint8,
// uint16, float32, float64 as 32-bit float; 1 to 4 channels), .bmp (uint8;
// 1, 3 or 4 channels), .pgm (uint8, uint16; grey), .ppm (uint8, uint16;
// colour), .pbm (bool; grey). A file is replaced only by a complete new one.
KEXIO_API void write_image(const std::string& path, const ArrayView& image);

}  // namespace Kex
