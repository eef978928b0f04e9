// Decoded rows into result planes.
//
// The worksheet's sink: decoders hand their rows (palette indices, grey,
// colour, with or without alpha, of 8 or 16 bits) to a PlaneWriter, which
// turns every pixel into what the read operation asks for (grey level,
// colour components, HLS or HSV components) and writes it into the
// column-major planes of the result.
//
// Rows gather in a band and go out a band at a time. Rows that stay where
// they are (in a mapped file) cost the band a pointer each, so the band can
// hold the whole picture; other rows are converted into a band of copies.
// Bands of bytes go out a strip of columns at a time, eight rows at a time:
// the eight rows' bytes of a strip are gathered in a small block, turned
// around in registers and written as one whole cache line per column, so
// that the result, the one large fresh allocation of a read, is written
// once; large bands are shared between the cores by strips. Bands of HLS
// and HSV components go through a tile of doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "image/decode/decoder.h"

namespace kexio {

// The grey level of a colour: (299 R + 587 G + 114 B + 500) / 1000 in
// integers, so that a grey pixel keeps its value.
inline std::uint8_t grey_of(unsigned r, unsigned g, unsigned b) {
  return static_cast<std::uint8_t>((299 * r + 587 * g + 114 * b + 500) / 1000);
}

// Writes n rows of a band (row j at band + j * stride elements, stride
// counted in elements and possibly negative) into the plane's columns at
// rows top .. top + n - 1.
template <typename T>
void scatter_rows(Plane plane, const T* band, std::ptrdiff_t stride, std::int64_t width,
                  std::int64_t n, std::int64_t top);

// Writes n rows (row j at band + j * stride elements, stride possibly
// negative; the samples of one row step elements apart) into the plane's
// columns at rows top .. top + n - 1, eight columns at a time: each band row
// is read in one short piece while eight columns receive consecutive
// elements. For short bands this beats going through a tile.
template <int Step = 1, typename T>
void scatter_columns(Plane plane, const T* band, std::ptrdiff_t stride, std::int64_t width, int n,
                     std::int64_t top) {
  constexpr std::int64_t kGroup = 8;
  std::int64_t x0 = 0;
  for (; x0 + kGroup <= width; x0 += kGroup) {
    double* col[kGroup];
    for (std::int64_t j = 0; j < kGroup; ++j)
      col[j] = plane[x0 + j] + top;
    const T* src = band + x0 * Step;
    for (int i = 0; i < n; ++i, src += stride) {
      for (std::int64_t j = 0; j < kGroup; ++j)
        col[j][i] = static_cast<double>(src[j * Step]);
    }
  }
  for (std::int64_t x = x0; x < width; ++x) {
    double* col = plane[x] + top;
    const T* src = band + x * Step;
    for (int i = 0; i < n; ++i, src += stride)
      col[i] = static_cast<double>(*src);
  }
}

class PlaneWriter final : public ImageSink {
 public:
  using Row = ImageSink::Rows;

  // Planes a, b, c as the read operation received them (null ones are not
  // asked for); the picture is width × height pixels and its rows arrive
  // from the top, or from the bottom when bottom_up.
  PlaneWriter(PixelOp op, Plane a, Plane b, Plane c, std::int64_t width, std::int64_t height,
              bool bottom_up = false);
  PlaneWriter(const PlaneWriter&) = delete;
  PlaneWriter& operator=(const PlaneWriter&) = delete;
  ~PlaneWriter();

  // Allocates the band: 0, or kOutOfMemory.
  int start();

  bool grey_only() const override { return m_op == PixelOp::kGray; }
  // Rows received before keep the colours they were received with.
  void palette(const Rgb* colours, std::size_t n) override;
  // Bands of 8-bit colour (or grey) rows that are not kept go straight to
  // the planes of a colour read; other rows gather in the band. 16-bit
  // samples are rounded to 0..255 first.
  void rows(const std::uint8_t* first, std::ptrdiff_t stride, int n, const PixelLayout& layout,
            Rows life = Rows::kCopy) override;

  // Writes out the rows still in the band; rows never received are 0.
  // Returns 0, or kOutOfMemory when a row could not be kept.
  int finish();

  // How the rows of the band are laid out.
  struct Format {
    bool indexed = false;
    int step = 1;
    int offset[3] = {0, 0, 0};
    bool operator==(const Format&) const = default;
  };

 private:
  void add_row(const std::uint8_t* px, const Format& format, Row row);
  bool direct_band(const std::uint8_t* first, std::ptrdiff_t stride, int n,
                   const PixelLayout& layout);
  const std::uint8_t* narrow(const std::uint8_t* px, const PixelLayout& layout);
  int allocate_copies();
  void copy_row(const std::uint8_t* px, const Format& format);
  // The palette's grey levels or colour components of ns indices into the
  // planes' bytes out[k] asked for.
  void look_up(std::uint8_t* const (&out)[3], const std::uint8_t* idx, std::int64_t ns) const;
  void flush();

  PixelOp m_op;
  Plane m_planes[3];
  std::int64_t m_width, m_height;
  bool m_bottom_up;
  int m_band = 0;                           // rows per band
  int m_slot = 0;                           // rows in the band now
  std::int64_t m_done = 0;                  // rows received
  Format m_format;                          // of the rows in the band
  bool m_kept = false;                      // the band's rows are kept where they are
  std::vector<const std::uint8_t*> m_rows;  // kept rows, in arrival order
  // Copied rows, converted on arrival: m_copy_band rows of bytes (grey and
  // colour components) or doubles (HLS and HSV) per plane asked for.
  int m_copy_band = 0;
  std::unique_ptr<std::uint8_t[]> m_bytes[3];
  std::unique_ptr<double[]> m_doubles[3];
  std::unique_ptr<double[]> m_tile;  // the transpose's tile
  // Per palette index: grey level, colour bytes, or the three components.
  std::uint8_t m_grey[256] = {};
  std::uint8_t m_channel[3][256] = {};       // red, green, blue
  std::unique_ptr<double[]> m_components;    // 256 × 3 for HLS and HSV
  std::unique_ptr<std::uint8_t[]> m_narrow;  // a row of 16-bit samples rounded to bytes
  std::int64_t m_narrow_size = 0;
  int m_error = 0;
  bool m_finished = false;
};

}  // namespace kexio
