// What the image fuzz targets share: a decoder opened over the input in
// memory and read into planes, and the input as a file in the scratch folder
// read through the image reading functions.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "image/decode/open_decoder.h"
#include "kexio/arrays.h"
#include "scratch.h"

namespace fuzz {

// Pictures larger than this are opened but not read: the reading functions
// accept results as large as the machine's memory, far beyond the fuzzer's
// (a run-length file of a few bytes may be millions of pixels wide).
inline constexpr std::int64_t kMaxPixels = std::int64_t{1} << 18;

// What the factory and one read operation make of a file: the code, the
// size, and the three planes side by side.
struct Picture {
  bool opened = false;
  int code = 0;
  std::int64_t rows = 0, cols = 0;
  std::vector<double> values;
  bool operator==(const Picture&) const = default;
};

// Opens a decoder over in (named name) and, when the picture has a size the
// reading functions accept (they refuse negative ones) and no more than
// max_pixels, runs operation op into the planes whose bits are set in
// asked (1, 2, 4: the first, second, third).
inline Picture decode(kexio::io::ByteReader in, const std::string& name, kexio::PixelOp op,
                      int asked = 7, std::int64_t max_pixels = kMaxPixels) {
  Picture p;
  KexCallContext ctx;
  std::unique_ptr<kexio::Decoder> d;
  p.code = kexio::open_decoder(&ctx, d, std::move(in), name);
  if (p.code != 0) return p;
  p.opened = true;
  p.rows = d->rows();
  p.cols = d->cols();
  if (p.rows < 0 || p.cols < 0 || p.rows * p.cols > max_pixels) return p;
  p.values.resize(static_cast<std::size_t>(3 * p.rows * p.cols));
  std::vector<double*> columns(static_cast<std::size_t>(3 * p.cols));
  for (std::size_t c = 0; c < columns.size(); ++c)
    columns[c] = p.values.data() + c * static_cast<std::size_t>(p.rows);
  kexio::Plane planes[3] = {};
  for (int k = 0; k < 3; ++k) {
    if ((asked >> k & 1) != 0 && p.rows * p.cols > 0) planes[k] = columns.data() + k * p.cols;
  }
  p.code = d->read_planes(op, planes[0], planes[1], planes[2]);
  return p;
}

// The typed array of the file in each mode: the modes keep the file's type
// and size, and colour and alpha's colour is the colour mode's.
inline void read_typed(const std::string& path) {
  Kex::Array a[4];
  const Kex::ImageMode modes[4] = {Kex::ImageMode::file, Kex::ImageMode::grey, Kex::ImageMode::rgb,
                                   Kex::ImageMode::rgba};
  for (int m = 0; m < 4; ++m) {
    try {
      a[m] = Kex::read_image(path, modes[m]);
    } catch (const Kex::Exception&) {
      if (m == 0) return;
      fail("a mode fails where the file's own channels read");
    }
  }
  const std::int64_t h = a[0].shape[0], w = a[0].shape[1];
  const std::vector<std::int64_t> shapes[3] = {{h, w}, {h, w, 3}, {h, w, 4}};
  for (int m = 1; m < 4; ++m) {
    if (a[m].dtype != a[0].dtype || a[m].shape != shapes[m - 1]) fail("a mode changes the type");
  }
  const std::size_t size = Kex::dtype_size(a[0].dtype);
  for (std::int64_t i = 0; i < h * w; ++i) {
    const auto* rgb = static_cast<const std::uint8_t*>(a[2].data.get()) + i * 3 * size;
    const auto* rgba = static_cast<const std::uint8_t*>(a[3].data.get()) + i * 4 * size;
    if (std::memcmp(rgb, rgba, 3 * size) != 0) fail("RGBA's colour differs from RGB's");
  }
}

using Reader = Cvd::Ref (*)(const std::u16string&, const Cvd::Ref&);

// Every kind of image read operation: grey, RGB, HLS, HSV, whole and single
// planes.
inline constexpr std::initializer_list<Reader> kEveryRead = {
    &Kex::IO::READ_IMAGE,   &Kex::IO::READRGB,  &Kex::IO::READ_GREEN,  &Kex::IO::READ_HLS,
    &Kex::IO::READ_HLS_SAT, &Kex::IO::READ_HSV, &Kex::IO::READ_HSV_HUE};

// Writes the input as file name in the scratch folder and reads it with each
// of reads; the results, null where a read failed. Every failure must
// surface as a reported message.
inline std::vector<Cvd::Ref> read_file(const std::uint8_t* data, std::size_t size,
                                       const std::string& name,
                                       std::initializer_list<Reader> reads = kEveryRead) {
  put_file(name, data, size);
  const std::u16string cwd = Vrt::RawBytesToString(scratch());
  const Cvd::Ref file = text(name);
  std::vector<Cvd::Ref> results;
  for (Reader read : reads) {
    try {
      results.push_back(read(cwd, file));
    } catch (const Kex::Exception&) {
      results.emplace_back();
    }
  }
  read_typed(scratch_path(name));
  return results;
}

// The factory straight from memory, through the same byte reader that reads
// files, then every read operation on the file, unless the picture is larger
// than kMaxPixels.
inline void read_image(const std::uint8_t* data, std::size_t size, const std::string& name) {
  {
    KexCallContext ctx;
    std::unique_ptr<kexio::Decoder> d;
    if (kexio::open_decoder(&ctx, d, kexio::io::ByteReader(data, size), scratch_path(name)) == 0 &&
        std::int64_t{d->rows()} * d->cols() > kMaxPixels) {
      return;
    }
  }
  read_file(data, size, name);
}

}  // namespace fuzz
