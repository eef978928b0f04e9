// PGM, PBM and PPM files, plain (P1, P2, P3) and binary (P4, P5, P6).
//
// The header is the magic number, then width, height and (except for
// bitmaps) the largest sample value, 1 to 65535, separated by white space
// and comments ("#" to the end of the line). A binary raster starts after
// the one white-space character (or comment) that ends the header; plain
// rasters are numbers (bitmaps: the digits 0 and 1, which need no
// separator) between white space and comments. Samples above the largest
// value, a raster cut short and anything malformed make the file
// unreadable. The raster's size is checked against the bytes the file holds
// before anything is allocated; bytes after the raster are ignored.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>

#include "core/parallel.h"
#include "core/transpose.h"
#include "images.h"
#include "io/endian.h"

namespace {

using mutils::detail::Channels;
using mutils::detail::StreamBytes;

bool is_space(std::uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A sample of a binary raster: one byte, or two bytes most significant first.
template <typename T>
T sample_at(const std::uint8_t* p) {
  if constexpr (sizeof(T) == 1) {
    return *p;
  } else {
    return static_cast<T>(kexio::io::be16(p));
  }
}

// n pixels of C interleaved samples into the channel arrays; false when a
// sample exceeds maxval (looked at only when Check).
template <typename T, int C, bool Check>
bool split(const std::uint8_t* src, std::size_t n, T* const* out, unsigned maxval) {
  T top = 0;
  for (std::size_t i = 0; i < n; ++i) {
    for (int k = 0; k < C; ++k) {
      T v = sample_at<T>(src + (i * C + k) * sizeof(T));
      out[k][i] = v;
      if constexpr (Check) top = std::max(top, v);
    }
  }
  return top <= maxval;
}

// Rasters from which the pixels of 8-bit colour are taken apart on two
// threads.
constexpr std::size_t kThreadedPixels = std::size_t{1} << 20;

template <typename T, int C>
bool split_raster(const std::uint8_t* src, std::size_t n, T* const* out, unsigned maxval) {
  if constexpr (std::is_same_v<T, std::uint8_t> && C == 3) {
    // Every byte a sample: nothing to check, sixteen pixels at a time, and a
    // large raster in two halves.
    if (maxval == 255) {
      static constexpr int kOffsets[3] = {0, 1, 2};
      const kexio::columns::SplitPixels take = kexio::columns::split_pixels_for(kOffsets);
      const std::size_t parts = n < kThreadedPixels ? 1 : std::min(2u, kexio::free_cores());
      kexio::run_all(parts, [&](std::size_t k) {
        const std::size_t from = n * k / parts, to = n * (k + 1) / parts;
        std::uint8_t* const part[3] = {out[0] + from, out[1] + from, out[2] + from};
        take(part, src + 3 * from, static_cast<std::int64_t>(to - from), kOffsets);
      });
      return true;
    }
  }
  return maxval < std::numeric_limits<T>::max() ? split<T, C, true>(src, n, out, maxval)
                                                : split<T, C, false>(src, n, out, maxval);
}

class PnmReader {
 public:
  PnmReader(const std::uint8_t* begin, const std::uint8_t* end) : m_p(begin), m_end(end) {}

  // Reads the header; false when it is malformed.
  bool header();
  int channels() const { return m_kind == 3 || m_kind == 6 ? 3 : 1; }
  // Reads the raster into out; false when the file cannot be read.
  bool raster(Channels& out);

 private:
  bool plain() const { return m_kind <= 3; }
  void skip_blanks();
  bool number(std::uint64_t max, std::uint64_t& v);
  bool binary_raster(Channels& out, std::uint64_t row_bytes);
  bool plain_raster(Channels& out);
  template <typename T>
  bool plain_samples(Channels& out);
  std::size_t remaining() const { return static_cast<std::size_t>(m_end - m_p); }

  const std::uint8_t* m_p;
  const std::uint8_t* m_end;
  int m_kind = 0;
  std::uint64_t m_width = 0, m_height = 0, m_maxval = 1;
};

void PnmReader::skip_blanks() {
  while (m_p < m_end) {
    if (*m_p == '#') {
      while (m_p < m_end && *m_p != '\n' && *m_p != '\r')
        ++m_p;
    } else if (is_space(*m_p)) {
      ++m_p;
    } else {
      return;
    }
  }
}

// A decimal number after blanks, at most max, that ends at the end of the
// data, a blank or a comment.
bool PnmReader::number(std::uint64_t max, std::uint64_t& v) {
  skip_blanks();
  if (m_p == m_end || *m_p < '0' || *m_p > '9') return false;
  v = 0;
  while (m_p < m_end && *m_p >= '0' && *m_p <= '9') {
    v = v * 10 + (*m_p++ - '0');
    if (v > max) return false;
  }
  return m_p == m_end || is_space(*m_p) || *m_p == '#';
}

bool PnmReader::header() {
  if (remaining() < 2 || m_p[0] != 'P' || m_p[1] < '1' || m_p[1] > '6') return false;
  m_kind = m_p[1] - '0';
  m_p += 2;
  if (!number(INT32_MAX, m_width) || !number(INT32_MAX, m_height) || m_width == 0 ||
      m_height == 0) {
    return false;
  }
  if (m_kind != 1 && m_kind != 4 && (!number(65535, m_maxval) || m_maxval == 0)) return false;
  if (!plain() && m_p < m_end) {
    // The one character that ends the header: white space, or a comment
    // through its line end.
    if (*m_p == '#') {
      while (m_p < m_end && *m_p != '\n' && *m_p != '\r')
        ++m_p;
    }
    if (m_p < m_end) ++m_p;
  }
  return true;
}

bool PnmReader::raster(Channels& out) {
  const std::uint64_t sample_bytes = m_maxval > 255 ? 2 : 1;
  const std::uint64_t row_bytes =
      m_kind == 4 ? (m_width + 7) / 8 : m_width * sample_bytes * channels();
  // What the file must hold at least: the binary raster, or one character
  // per bitmap digit, or one digit and one separator per number but the last.
  std::uint64_t rows_fit;
  if (!plain()) {
    rows_fit = remaining() / row_bytes;
  } else if (m_kind == 1) {
    rows_fit = remaining() / m_width;
  } else {
    rows_fit = (remaining() + 1) / 2 / (m_width * channels());
  }
  if (m_height > rows_fit) return false;
  const _mutil_data_type type = sample_bytes == 2 ? MUTIL_UINT16 : MUTIL_UINT8;
  if (!out.allocate(static_cast<std::int64_t>(m_height), static_cast<std::int64_t>(m_width), type,
                    channels())) {
    return false;
  }
  return plain() ? plain_raster(out) : binary_raster(out, row_bytes);
}

bool PnmReader::binary_raster(Channels& out, std::uint64_t row_bytes) {
  const std::size_t n = static_cast<std::size_t>(m_width * m_height);
  const auto maxval = static_cast<unsigned>(m_maxval);
  if (m_kind == 4) {
    // Bits, most significant first, each row filled up to a whole byte.
    auto* dst = out.at<std::uint8_t>(0);
    for (std::uint64_t y = 0; y < m_height; ++y) {
      const std::uint8_t* row = m_p + y * row_bytes;
      for (std::uint64_t x = 0; x < m_width; ++x)
        *dst++ = (row[x >> 3] >> (7 - (x & 7)) & 1) != 0 ? 0 : 255;
    }
    return true;
  }
  if (m_maxval > 255) {
    std::uint16_t* planes[3] = {out.at<std::uint16_t>(0), out.at<std::uint16_t>(1),
                                out.at<std::uint16_t>(2)};
    return channels() == 3 ? split_raster<std::uint16_t, 3>(m_p, n, planes, maxval)
                           : split_raster<std::uint16_t, 1>(m_p, n, planes, maxval);
  }
  std::uint8_t* planes[3] = {out.at<std::uint8_t>(0), out.at<std::uint8_t>(1),
                             out.at<std::uint8_t>(2)};
  return channels() == 3 ? split_raster<std::uint8_t, 3>(m_p, n, planes, maxval)
                         : split_raster<std::uint8_t, 1>(m_p, n, planes, maxval);
}

bool PnmReader::plain_raster(Channels& out) {
  if (m_kind != 1) {
    return m_maxval > 255 ? plain_samples<std::uint16_t>(out) : plain_samples<std::uint8_t>(out);
  }
  auto* dst = out.at<std::uint8_t>(0);
  for (std::uint64_t i = 0, n = m_width * m_height; i < n; ++i) {
    skip_blanks();
    if (m_p == m_end || (*m_p != '0' && *m_p != '1')) return false;
    dst[i] = *m_p++ == '1' ? 0 : 255;
  }
  return true;
}

template <typename T>
bool PnmReader::plain_samples(Channels& out) {
  T* planes[3] = {out.at<T>(0), out.at<T>(1), out.at<T>(2)};
  const int c = channels();
  for (std::uint64_t i = 0, n = m_width * m_height; i < n; ++i) {
    for (int k = 0; k < c; ++k) {
      std::uint64_t v;
      if (!number(m_maxval, v)) return false;
      planes[k][i] = static_cast<T>(v);
    }
  }
  return true;
}

// Reads the image of f into out; false when it cannot be read or does not
// have the channels wanted (1: grey only; 3: any).
bool read_pnm(std::FILE* f, int wanted, Channels& out) {
  StreamBytes bytes;
  if (f == nullptr || !bytes.load(f)) return false;
  PnmReader pnm(bytes.begin(), bytes.end());
  if (!pnm.header() || (wanted == 1 && pnm.channels() != 1)) return false;
  return pnm.raster(out);
}

}  // namespace

namespace mutils {

int imguniv_read_pgm(std::FILE* f, void* context, _univ_mat* m) {
  if (m == nullptr) return 1;
  *m = {};
  try {
    detail::Channels image(context);
    if (!read_pnm(f, 1, image)) return 1;
    image.give(m);
    return 0;
  } catch (const std::bad_alloc&) {
    return 1;
  }
}

int imgset_read_ppm(std::FILE* f, void* context, _univ_mat_set* set) {
  if (set == nullptr) return 1;
  *set = {};
  try {
    detail::Channels image(context);
    return read_pnm(f, 3, image) && image.give(set) ? 0 : 1;
  } catch (const std::bad_alloc&) {
    return 1;
  }
}

}  // namespace mutils
