#include "image/decode/plane_writer.h"

#include <algorithm>
#include <new>

#include "kexio/host/services.h"

namespace kexio {

namespace {

// The band holds about this many bytes of converted values.
constexpr std::int64_t kBandBudget = std::int64_t{8} << 20;
constexpr int kMinBand = 8;
constexpr int kMaxBand = 4096;

// Rows per band: a multiple of 8 that keeps the band within the budget,
// fewer for very wide pictures, and never more than the picture has.
int band_rows(std::int64_t width, std::int64_t height, std::int64_t bytes_per_pixel) {
  std::int64_t n = width <= 0 ? kMaxBand : kBandBudget / (width * bytes_per_pixel);
  n = std::clamp<std::int64_t>(n, 1, kMaxBand);
  if (n >= kMinBand) n = n / kMinBand * kMinBand;
  return static_cast<int>(std::max<std::int64_t>(1, std::min(n, height)));
}

void convert(PixelOp op, unsigned char r, unsigned char g, unsigned char b, double* x, double* y,
             double* z) {
  if (op == PixelOp::kHls) {
    Kex::RGB_TO_HLS(r, g, b, x, y, z);
  } else {
    Kex::RGB_TO_HSV(r, g, b, x, y, z);
  }
}

}  // namespace

template <typename T>
void scatter_rows(Plane plane, const T* band, std::ptrdiff_t stride, std::int64_t width, int n,
                  std::int64_t top) {
  // Columns go in groups of eight, so that each band row is read in one
  // short contiguous piece while eight columns receive consecutive elements.
  constexpr std::int64_t kGroup = 8;
  std::int64_t x0 = 0;
  for (; x0 + kGroup <= width; x0 += kGroup) {
    double* col[kGroup];
    for (std::int64_t j = 0; j < kGroup; ++j)
      col[j] = plane[x0 + j] + top;
    const T* src = band + x0;
    for (int i = 0; i < n; ++i, src += stride) {
      for (std::int64_t j = 0; j < kGroup; ++j)
        col[j][i] = static_cast<double>(src[j]);
    }
  }
  for (std::int64_t x = x0; x < width; ++x) {
    double* col = plane[x] + top;
    const T* src = band + x;
    for (int i = 0; i < n; ++i, src += stride)
      col[i] = static_cast<double>(*src);
  }
}

template void scatter_rows<std::uint8_t>(Plane, const std::uint8_t*, std::ptrdiff_t, std::int64_t,
                                         int, std::int64_t);
template void scatter_rows<double>(Plane, const double*, std::ptrdiff_t, std::int64_t, int,
                                   std::int64_t);
template void scatter_rows<std::uint16_t>(Plane, const std::uint16_t*, std::ptrdiff_t, std::int64_t,
                                          int, std::int64_t);
template void scatter_rows<std::uint32_t>(Plane, const std::uint32_t*, std::ptrdiff_t, std::int64_t,
                                          int, std::int64_t);

PlaneWriter::PlaneWriter(PixelOp op, Plane a, Plane b, Plane c, std::int64_t width,
                         std::int64_t height, bool bottom_up)
    : m_op(op), m_planes{a, b, c}, m_width(width), m_height(height), m_bottom_up(bottom_up) {
  if (op == PixelOp::kGray) m_planes[1] = m_planes[2] = nullptr;
  for (Plane& p : m_planes) {
    if (width <= 0 || height <= 0) p = nullptr;
  }
}

PlaneWriter::~PlaneWriter() = default;

int PlaneWriter::start() {
  int asked = 0;
  for (Plane p : m_planes)
    asked += p != nullptr;
  const bool doubles = m_op == PixelOp::kHls || m_op == PixelOp::kHsv;
  m_band = band_rows(m_width, m_height, (doubles ? 8 : 1) * std::max(asked, 1));
  try {
    for (int k = 0; k < 3; ++k) {
      if (m_planes[k] == nullptr) continue;
      auto n = static_cast<std::size_t>(m_band * m_width);
      if (doubles) {
        m_doubles[k].resize(n);
      } else {
        m_bytes[k].resize(n);
      }
    }
    if (doubles) m_components.reset(new double[256 * 3]());
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  set_palette(nullptr, 0);
  return 0;
}

void PlaneWriter::set_palette(const Rgb* colours, std::size_t n) {
  n = std::min<std::size_t>(n, 256);
  for (std::size_t i = 0; i < 256; ++i) {
    Rgb c = i < n ? colours[i] : Rgb{0, 0, 0};
    m_channel[0][i] = c.r;
    m_channel[1][i] = c.g;
    m_channel[2][i] = c.b;
    m_grey[i] = grey_of(c.r, c.g, c.b);
    if (m_components) {
      double* t = &m_components[3 * i];
      convert(m_op, c.r, c.g, c.b, &t[0], &t[1], &t[2]);
    }
  }
}

void PlaneWriter::indexed_row(const std::uint8_t* index) {
  if (m_done >= m_height) return;
  const std::int64_t w = m_width;
  switch (m_op) {
    case PixelOp::kGray:
      if (m_planes[0] != nullptr) {
        std::uint8_t* dst = byte_slot(0);
        for (std::int64_t x = 0; x < w; ++x)
          dst[x] = m_grey[index[x]];
      }
      break;
    case PixelOp::kRgb:
      for (int k = 0; k < 3; ++k) {
        if (m_planes[k] == nullptr) continue;
        std::uint8_t* dst = byte_slot(k);
        const std::uint8_t* table = m_channel[k];
        for (std::int64_t x = 0; x < w; ++x)
          dst[x] = table[index[x]];
      }
      break;
    case PixelOp::kHls:
    case PixelOp::kHsv:
      for (int k = 0; k < 3; ++k) {
        if (m_planes[k] == nullptr) continue;
        double* dst = double_slot(k);
        for (std::int64_t x = 0; x < w; ++x)
          dst[x] = m_components[3 * index[x] + k];
      }
      break;
  }
  next_slot();
}

void PlaneWriter::rgb_row(const std::uint8_t* px, int step, int r, int g, int b) {
  if (m_done >= m_height) return;
  const std::int64_t w = m_width;
  const int offset[3] = {r, g, b};
  switch (m_op) {
    case PixelOp::kGray:
      if (m_planes[0] != nullptr) {
        std::uint8_t* dst = byte_slot(0);
        for (std::int64_t x = 0; x < w; ++x) {
          const std::uint8_t* p = px + x * step;
          dst[x] = grey_of(p[r], p[g], p[b]);
        }
      }
      break;
    case PixelOp::kRgb:
      for (int k = 0; k < 3; ++k) {
        if (m_planes[k] == nullptr) continue;
        std::uint8_t* dst = byte_slot(k);
        const std::uint8_t* src = px + offset[k];
        for (std::int64_t x = 0; x < w; ++x)
          dst[x] = src[x * step];
      }
      break;
    case PixelOp::kHls:
    case PixelOp::kHsv: {
      double* dst[3];
      for (int k = 0; k < 3; ++k)
        dst[k] = m_planes[k] != nullptr ? double_slot(k) : nullptr;
      for (std::int64_t x = 0; x < w; ++x) {
        const std::uint8_t* p = px + x * step;
        convert(m_op, p[r], p[g], p[b], dst[0] ? dst[0] + x : nullptr,
                dst[1] ? dst[1] + x : nullptr, dst[2] ? dst[2] + x : nullptr);
      }
      break;
    }
  }
  next_slot();
}

void PlaneWriter::next_slot() {
  ++m_done;
  if (++m_slot == m_band) flush();
}

void PlaneWriter::flush() {
  if (m_slot == 0) return;
  const int n = m_slot;
  // The band's rows are picture rows first .. first + n - 1 (top-down) or
  // first .. first - n + 1 (bottom-up), first being the band's first row.
  const std::int64_t first_done = m_done - n;
  std::int64_t top;
  std::ptrdiff_t row = 0, stride = static_cast<std::ptrdiff_t>(m_width);
  if (m_bottom_up) {
    top = m_height - m_done;
    row = n - 1;
    stride = -stride;
  } else {
    top = first_done;
  }
  for (int k = 0; k < 3; ++k) {
    if (m_planes[k] == nullptr) continue;
    if (!m_bytes[k].empty()) {
      scatter_rows(m_planes[k], m_bytes[k].data() + row * m_width, stride, m_width, n, top);
    } else {
      scatter_rows(m_planes[k], m_doubles[k].data() + row * m_width, stride, m_width, n, top);
    }
  }
  m_slot = 0;
}

void PlaneWriter::finish() {
  if (m_finished) return;
  m_finished = true;
  flush();
  // Rows the decoder never delivered read as 0.
  std::int64_t missing = m_height - m_done;
  if (missing <= 0) return;
  std::int64_t top = m_bottom_up ? 0 : m_done;
  for (Plane p : m_planes) {
    if (p == nullptr) continue;
    for (std::int64_t x = 0; x < m_width; ++x)
      std::fill_n(p[x] + top, missing, 0.0);
  }
}

}  // namespace kexio

namespace kexio {

int PixelDecoder::read_planes(PixelOp op, Plane a, Plane b, Plane c) {
  PlaneWriter out(op, a, b, c, cols(), rows(), bottom_up());
  if (int e = out.start()) return e;
  int r = decode(out);
  out.finish();
  return r;
}

int PixelDecoder::read_gray(KexCallContext*, Plane grey) {
  return read_planes(PixelOp::kGray, grey, nullptr, nullptr);
}
int PixelDecoder::read_rgb(KexCallContext*, Plane red, Plane green, Plane blue) {
  return read_planes(PixelOp::kRgb, red, green, blue);
}
int PixelDecoder::read_hls(KexCallContext*, Plane hue, Plane light, Plane sat) {
  return read_planes(PixelOp::kHls, hue, light, sat);
}
int PixelDecoder::read_hsv(KexCallContext*, Plane hue, Plane sat, Plane value) {
  return read_planes(PixelOp::kHsv, hue, sat, value);
}

}  // namespace kexio
