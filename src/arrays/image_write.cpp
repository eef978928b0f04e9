// Kex::write_image: a typed array as a picture file, in the format its
// name's extension names. The array is checked against what the format
// holds before anything is opened; the file is written through the atomic
// replacement, so a failure keeps what was there.
#include <fcntl.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "arrays/array.h"
#include "io/byte_writer.h"
#include "io/endian.h"
#include "io/png_writer.h"
#include "io/replace.h"
#include "kexio/arrays.h"
#include "kexio/host/errors.h"

namespace kexio::arrays {

namespace {

using Kex::Dtype;

enum class Format { png, tiff, bmp, pgm, ppm, pbm };

struct FormatInfo {
  const char* extension;
  Format format;
  const char* name;
  // The sample types and channel counts (bit c - 1 for c channels) it holds.
  std::vector<Dtype> types;
  unsigned channels;
};

const FormatInfo kFormats[] = {
    {"png", Format::png, "PNG", {Dtype::uint8, Dtype::uint16}, 0xF},
    {"tif",
     Format::tiff,
     "TIFF",
     {Dtype::uint8, Dtype::uint16, Dtype::float32, Dtype::float64},
     0xF},
    {"tiff",
     Format::tiff,
     "TIFF",
     {Dtype::uint8, Dtype::uint16, Dtype::float32, Dtype::float64},
     0xF},
    {"bmp", Format::bmp, "BMP", {Dtype::uint8}, 0xD},
    {"pgm", Format::pgm, "PGM", {Dtype::uint8, Dtype::uint16}, 0x1},
    {"ppm", Format::ppm, "PPM", {Dtype::uint8, Dtype::uint16}, 0x4},
    {"pbm", Format::pbm, "PBM", {Dtype::boolean}, 0x1},
};

// The picture as the writers see it.
struct Picture {
  const std::uint8_t* data;
  std::uint32_t height, width;
  int channels;
  Dtype type;
  std::size_t sample;  // bytes per sample
  std::size_t row;     // bytes per row
};

const FormatInfo& format_of(const std::string& path, const Kex::ArrayView& a) {
  const std::size_t slash = path.rfind('/');
  const std::size_t dot = path.rfind('.');
  std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                        ? std::string()
                        : path.substr(dot + 1);
  for (char& c : ext)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const FormatInfo& f : kFormats) {
    if (ext == f.extension) return f;
  }
  refuse_value("imwrite cannot write " + describe(a) + " to a file named '" + path +
               "': the extension names the format, one of .png, .tif, .tiff, .bmp, .pgm, "
               ".ppm, .pbm");
}

// What the format holds, in words: "uint8 or uint16 (H, W), (H, W, 2), ...".
std::string holds(const FormatInfo& f) {
  std::string types;
  for (std::size_t i = 0; i < f.types.size(); ++i) {
    types += (i == 0 ? "" : i + 1 == f.types.size() ? " or " : ", ");
    types += Kex::dtype_name(f.types[i]);
  }
  std::string shapes;
  static const char* const kShapes[] = {"(H, W)", "(H, W, 2)", "(H, W, 3)", "(H, W, 4)"};
  for (int c = 0; c < 4; ++c) {
    if ((f.channels >> c & 1) == 0) continue;
    shapes += (shapes.empty() ? "" : ", ") + std::string(kShapes[c]);
  }
  return types + " arrays of " + shapes;
}

Picture check(const FormatInfo& f, const Kex::ArrayView& a) {
  const std::string what = "imwrite cannot write " + describe(a) + " as " + f.name + ": " + f.name +
                           " holds " + holds(f);
  if (std::find(f.types.begin(), f.types.end(), a.dtype) == f.types.end()) refuse_type(what);
  const std::size_t dims = a.shape.size();
  const std::int64_t channels = dims == 3 ? a.shape[2] : 1;
  if ((dims != 2 && dims != 3) || channels < 1 || channels > 4 ||
      (f.channels >> (channels - 1) & 1) == 0) {
    refuse_value(what);
  }
  // Sizes every format states in 31 bits.
  constexpr std::int64_t kMax = 0x7FFFFFFF;
  if (a.shape[0] < 1 || a.shape[1] < 1 || a.shape[0] > kMax || a.shape[1] > kMax) {
    refuse_value(what + ", at least 1 and at most 2147483647 pixels high and wide");
  }
  Picture p{static_cast<const std::uint8_t*>(a.data),
            static_cast<std::uint32_t>(a.shape[0]),
            static_cast<std::uint32_t>(a.shape[1]),
            static_cast<int>(channels),
            a.dtype,
            Kex::dtype_size(a.dtype),
            0};
  p.row = std::size_t{p.width} * p.channels * p.sample;
  samples(a.shape, p.sample);  // more than the machine holds is "out of memory"
  return p;
}

[[noreturn]] void write_failed(const io::Replacement& file, int err) {
  if (err == ENOMEM) Kex::Throw("out of memory", Kex::kWholeCall);
  Kex::Throw("file write error", Kex::kWholeCall, file.detail(err));
}

// ---------------------------------------------------------------------------
// PNG through the base library's writer; 16-bit samples big-endian.

void write_png(io::Replacement& file, const Picture& p) {
  io::ByteWriter out(file.fd());
  const io::PngPicture png{p.width, p.height, static_cast<unsigned>(p.channels),
                           static_cast<unsigned>(8 * p.sample)};
  io::write_png(out, png,
                [&p](unsigned, std::uint32_t first, std::uint32_t count, std::uint8_t* dst) {
                  const std::uint8_t* src = p.data + std::size_t{first} * p.row;
                  const std::size_t n = std::size_t{count} * p.row;
                  if (p.sample == 1) {
                    std::memcpy(dst, src, n);
                    return;
                  }
                  for (std::size_t i = 0; i < n; i += 2) {
                    std::uint16_t v;
                    std::memcpy(&v, src + i, 2);
                    io::put_be16(dst + i, v);
                  }
                });
  if (!out.flush()) write_failed(file, out.error());
}

// ---------------------------------------------------------------------------
// TIFF through libtiff: uncompressed strips of about 64 KiB, float64 as
// float32.

int on_tiff_error(TIFF*, void* user, const char*, const char*, va_list) {
  *static_cast<bool*>(user) = true;
  return 1;
}

int on_tiff_warning(TIFF*, void*, const char*, const char*, va_list) {
  return 1;
}

void write_tiff(io::Replacement& file, const Picture& p, const std::string& path) {
  // libtiff closes the descriptor it is given: it gets one of its own.
  const int fd = ::dup(file.fd());
  if (fd < 0) write_failed(file, errno);
  bool error = false;
  struct OptionsFree {
    void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
  };
  std::unique_ptr<TIFFOpenOptions, OptionsFree> options(TIFFOpenOptionsAlloc());
  if (!options) {
    ::close(fd);
    throw std::bad_alloc();
  }
  TIFFOpenOptionsSetErrorHandlerExtR(options.get(), on_tiff_error, &error);
  TIFFOpenOptionsSetWarningHandlerExtR(options.get(), on_tiff_warning, nullptr);
  TIFF* t = TIFFFdOpenExt(fd, path.c_str(), "w", options.get());
  if (t == nullptr) {
    ::close(fd);
    Kex::Throw("file write error", Kex::kWholeCall, "libtiff could not start the file");
  }
  const bool floating = p.type == Dtype::float32 || p.type == Dtype::float64;
  const std::size_t stored = floating ? 4 : p.sample;
  const std::size_t row = std::size_t{p.width} * p.channels * stored;
  const auto rows = static_cast<std::uint32_t>(
      std::clamp<std::size_t>((std::size_t{64} << 10) / row, 1, p.height));
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, p.width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, p.height);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, p.channels);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, static_cast<unsigned>(8 * stored));
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, floating ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, p.channels >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows);
  if (p.channels == 2 || p.channels == 4) {
    const std::uint16_t alpha = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &alpha);
  }
  std::vector<float> narrowed;
  bool written = !error;
  for (std::uint32_t y = 0; written && y < p.height; y += rows) {
    const std::uint32_t n = std::min(rows, p.height - y);
    const std::uint8_t* src = p.data + std::size_t{y} * p.row;
    const void* strip = src;
    if (p.type == Dtype::float64) {
      const std::size_t count = std::size_t{n} * p.width * p.channels;
      narrowed.resize(count);
      for (std::size_t i = 0; i < count; ++i) {
        double v;
        std::memcpy(&v, src + i * 8, 8);
        narrowed[i] = static_cast<float>(v);
      }
      strip = narrowed.data();
    }
    const auto bytes = static_cast<tmsize_t>(std::size_t{n} * row);
    written = TIFFWriteEncodedStrip(t, TIFFComputeStrip(t, y, 0), const_cast<void*>(strip),
                                    bytes) == bytes;
  }
  written = TIFFWriteDirectory(t) != 0 && written;
  TIFFClose(t);
  if (!written || error)
    Kex::Throw("file write error", Kex::kWholeCall, "libtiff could not write the file");
}

// ---------------------------------------------------------------------------
// BMP: 8-bit grey with a grey palette, 24-bit colour, or 32-bit colour and
// alpha with a version 4 header whose masks name the alpha byte; rows from
// the bottom up, each padded to 4 bytes.

void write_bmp(io::Replacement& file, const Picture& p) {
  const std::uint32_t bits = 8 * static_cast<std::uint32_t>(p.channels == 1 ? 1 : p.channels);
  const std::uint64_t stride = (std::uint64_t{p.width} * bits / 8 + 3) / 4 * 4;
  const std::uint32_t header = p.channels == 4 ? 108 : 40;
  const std::uint32_t palette = p.channels == 1 ? 1024 : 0;
  const std::uint64_t offset = 14 + header + palette;
  const std::uint64_t size = offset + stride * p.height;
  if (size > 0xFFFFFFFFu) refuse_value("a BMP file holds at most 4 GiB of pixels");
  io::ByteWriter out(file.fd());
  out.put('B');
  out.put('M');
  out.le32(static_cast<std::uint32_t>(size));
  out.le32(0);
  out.le32(static_cast<std::uint32_t>(offset));
  out.le32(header);
  out.le32(p.width);
  out.le32(p.height);
  out.le16(1);
  out.le16(bits);
  out.le32(p.channels == 4 ? 3 : 0);  // bit fields for alpha, else none
  out.le32(static_cast<std::uint32_t>(stride * p.height));
  out.le32(2835);  // 72 dots per inch
  out.le32(2835);
  out.le32(p.channels == 1 ? 256 : 0);
  out.le32(0);
  if (p.channels == 4) {
    for (std::uint32_t mask : {0x00FF0000u, 0x0000FF00u, 0x000000FFu, 0xFF000000u})
      out.le32(mask);
    out.le32(0x73524742);  // "sRGB"
    out.zeros(48);         // end points and gamma, unused for sRGB
  }
  for (std::uint32_t i = 0; i < palette / 4; ++i) {
    const auto v = static_cast<std::uint8_t>(i);
    for (std::uint8_t b : {v, v, v, std::uint8_t{0}})
      out.put(b);
  }
  const std::size_t used = std::size_t{p.width} * p.channels;
  for (std::uint32_t y = p.height; y-- > 0;) {
    std::uint8_t* row = out.room(static_cast<std::size_t>(stride));
    if (row == nullptr) break;
    const std::uint8_t* src = p.data + std::size_t{y} * p.row;
    if (p.channels == 1) {
      std::memcpy(row, src, used);
    } else {
      const int c = p.channels;
      std::uint8_t* dst = row;
      for (std::uint32_t x = 0; x < p.width; ++x, src += c, dst += c) {
        dst[0] = src[2], dst[1] = src[1], dst[2] = src[0];
        if (c == 4) dst[3] = src[3];
      }
    }
    std::memset(row + used, 0, static_cast<std::size_t>(stride) - used);
    out.commit(static_cast<std::size_t>(stride));
  }
  if (!out.flush()) write_failed(file, out.error());
}

// ---------------------------------------------------------------------------
// Netpbm: binary PGM and PPM (16-bit samples big-endian), PBM from bool
// (true is white, stored as 0).

void write_netpbm(io::Replacement& file, const Picture& p, Format f) {
  io::ByteWriter out(file.fd());
  const char* magic = f == Format::pbm ? "P4" : f == Format::pgm ? "P5" : "P6";
  std::string head =
      std::string(magic) + "\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n";
  if (f != Format::pbm) head += p.sample == 2 ? "65535\n" : "255\n";
  out.write(head.data(), head.size());
  if (f == Format::pbm) {
    const std::size_t bytes = (std::size_t{p.width} + 7) / 8;
    for (std::uint32_t y = 0; y < p.height; ++y) {
      std::uint8_t* dst = out.room(bytes);
      if (dst == nullptr) break;
      std::memset(dst, 0, bytes);
      const std::uint8_t* src = p.data + std::size_t{y} * p.row;
      for (std::uint32_t x = 0; x < p.width; ++x) {
        if (src[x] == 0) dst[x >> 3] = static_cast<std::uint8_t>(dst[x >> 3] | 0x80 >> (x & 7));
      }
      out.commit(bytes);
    }
  } else if (p.sample == 1) {
    out.write(p.data, p.row * p.height);
  } else {
    for (std::uint32_t y = 0; y < p.height; ++y) {
      std::uint8_t* dst = out.room(p.row);
      if (dst == nullptr) break;
      const std::uint8_t* src = p.data + std::size_t{y} * p.row;
      for (std::size_t i = 0; i < p.row; i += 2) {
        std::uint16_t v;
        std::memcpy(&v, src + i, 2);
        io::put_be16(dst + i, v);
      }
      out.commit(p.row);
    }
  }
  if (!out.flush()) write_failed(file, out.error());
}

}  // namespace

}  // namespace kexio::arrays

namespace Kex {

void write_image(const std::string& path, const ArrayView& image) {
  using namespace kexio;
  using namespace kexio::arrays;
  try {
    const FormatInfo& f = format_of(path, image);
    const Picture p = check(f, image);
    io::Replacement file;
    if (int e = file.open(path, O_RDWR)) Throw("file open error", 1, file.detail(e));
    switch (f.format) {
      case Format::png:
        write_png(file, p);
        break;
      case Format::tiff:
        write_tiff(file, p, path);
        break;
      case Format::bmp:
        write_bmp(file, p);
        break;
      default:
        write_netpbm(file, p, f.format);
        break;
    }
    if (int e = file.commit()) write_failed(file, e);
  } catch (const std::bad_alloc&) {
    Throw("out of memory", kWholeCall);
  }
}

}  // namespace Kex
