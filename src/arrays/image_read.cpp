// Kex::read_image: a picture as a typed array. TIFF files are read by
// libtiff straight into the array (tiff_read.cpp), every other format
// through its decoder into a TypedSink, which copies the delivered rows in
// the file's own sample type and channels, palettes looked up. A mode other
// than the file's own is made from that array afterwards.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "arrays/array.h"
#include "arrays/tiff_read.h"
#include "image/codec_errors.h"
#include "image/decode/open_decoder.h"
#include "io/byte_reader.h"
#include "io/fd.h"
#include "kexio/arrays.h"
#include "kexio/host/context.h"

namespace kexio::arrays {

namespace {

using Kex::Dtype;

// Rows into a C-ordered array of (height, width, channels) samples, made on
// the first band from its layout: its channels (palette indices give
// colour, or grey when every colour of the palette is grey, and alpha when
// the palette has transparent entries) and its sample type. Rows of another layout later,
// which no decoder delivers, end the read as an unknown format.
class TypedSink final : public ImageSink {
 public:
  TypedSink(std::int64_t width, std::int64_t height, bool bottom_up, bool grey)
      : m_width(width), m_height(height), m_bottom_up(bottom_up), m_grey(grey) {
    std::fill_n(m_alpha, 256, std::uint8_t{255});
  }

  bool grey_only() const override { return m_grey; }
  bool typed() const override { return true; }

  void palette(const Rgb* colours, std::size_t n) override {
    std::fill_n(m_colours, 256, Rgb{0, 0, 0});
    std::copy_n(colours, std::min<std::size_t>(n, 256), m_colours);
    m_grey_palette = std::all_of(m_colours, m_colours + 256,
                                 [](const Rgb& c) { return c.r == c.g && c.g == c.b; });
  }
  void palette_alpha(const std::uint8_t* alpha, std::size_t n) override {
    n = std::min<std::size_t>(n, 256);
    std::copy_n(alpha, n, m_alpha);
    m_palette_alpha = std::any_of(alpha, alpha + n, [](std::uint8_t a) { return a != 255; });
  }

  void rows(const std::uint8_t* first, std::ptrdiff_t stride, int n, const PixelLayout& layout,
            Rows) override {
    if (m_error != 0) return;
    const int channels = layout.model != PixelLayout::kIndexed ? layout.channels()
                         : m_grey_palette                      ? 1 + m_palette_alpha
                                                               : 3 + m_palette_alpha;
    if (!m_array.data) {
      m_channels = channels;
      m_type = layout.type;
      // Nothing may be thrown through a decoder (the JPEG decoder's second
      // thread would be left running): a failure is recorded instead.
      try {
        std::vector<std::int64_t> shape{m_height, m_width};
        if (channels > 1) shape.push_back(channels);
        m_array =
            make(layout.type == SampleType::kU16 ? Dtype::uint16 : Dtype::uint8, std::move(shape));
      } catch (...) {
        m_error = kOutOfMemory;
        return;
      }
    } else if (channels != m_channels || layout.type != m_type) {
      m_error = kUnknownFormat;
      return;
    }
    for (int i = 0; i < n && m_done < m_height; ++i, ++m_done, first += stride) {
      const std::int64_t y = m_bottom_up ? m_height - 1 - m_done : m_done;
      if (m_type == SampleType::kU16) {
        copy_row<std::uint16_t>(first, layout, y);
      } else {
        copy_row<std::uint8_t>(first, layout, y);
      }
    }
  }

  // The array with every row received; rows never received are 0. An image
  // without rows is colour of 8 bits.
  int finish(Kex::Array& out) {
    if (m_error != 0) return m_error;
    if (!m_array.data) m_array = make(Dtype::uint8, {m_height, m_width, 3});
    const std::size_t size = Kex::dtype_size(m_array.dtype);
    const std::size_t row = static_cast<std::size_t>(m_width) * m_channels * size;
    if (m_done < m_height) {
      auto* base = static_cast<std::uint8_t*>(m_array.data.get());
      const std::int64_t from = m_bottom_up ? 0 : m_done;
      std::memset(base + from * row, 0, static_cast<std::size_t>(m_height - m_done) * row);
    }
    out = std::move(m_array);
    return 0;
  }

 private:
  template <typename T>
  void copy_row(const std::uint8_t* px, const PixelLayout& layout, std::int64_t y) {
    T* dst = static_cast<T*>(m_array.data.get()) + y * m_width * m_channels;
    const std::int64_t w = m_width;
    if (layout.model == PixelLayout::kIndexed) {
      if (m_grey_palette) {
        for (std::int64_t x = 0; x < w; ++x, dst += m_channels) {
          dst[0] = m_colours[px[x]].r;
          if (m_channels == 2) dst[1] = m_alpha[px[x]];
        }
        return;
      }
      for (std::int64_t x = 0; x < w; ++x, dst += m_channels) {
        const Rgb& c = m_colours[px[x]];
        dst[0] = c.r, dst[1] = c.g, dst[2] = c.b;
        if (m_channels == 4) dst[3] = m_alpha[px[x]];
      }
      return;
    }
    const T* src = reinterpret_cast<const T*>(px);
    const int step = layout.step;
    // The offsets of the array's channels within a delivered pixel.
    int at[4] = {layout.offset[0], layout.offset[1], layout.offset[2], layout.offset[3]};
    if (m_channels == 2) at[1] = layout.offset[3];
    bool in_order = step == m_channels;
    for (int k = 0; k < m_channels; ++k)
      in_order = in_order && at[k] == k;
    if (in_order) {
      std::memcpy(dst, src, static_cast<std::size_t>(w * m_channels) * sizeof(T));
      return;
    }
    switch (m_channels) {
      case 1:
        for (std::int64_t x = 0; x < w; ++x)
          dst[x] = src[x * step + at[0]];
        break;
      case 3:
        for (std::int64_t x = 0; x < w; ++x, dst += 3, src += step)
          dst[0] = src[at[0]], dst[1] = src[at[1]], dst[2] = src[at[2]];
        break;
      default:
        for (std::int64_t x = 0; x < w; ++x, dst += m_channels, src += step) {
          for (int k = 0; k < m_channels; ++k)
            dst[k] = src[at[k]];
        }
        break;
    }
  }

  std::int64_t m_width, m_height;
  bool m_bottom_up, m_grey;
  Rgb m_colours[256] = {};
  std::uint8_t m_alpha[256];
  bool m_palette_alpha = false;
  bool m_grey_palette = true;
  Kex::Array m_array;
  int m_channels = 0;
  SampleType m_type = SampleType::kU8;
  std::int64_t m_done = 0;
  int m_error = 0;
};

// The largest sample of a type: the alpha of an opaque pixel.
template <typename T>
T opaque() {
  if constexpr (std::is_floating_point_v<T>) {
    return T{1};
  } else {
    return std::numeric_limits<T>::max();
  }
}

// The grey level of a colour: (299 R + 587 G + 114 B + 500) / 1000 rounded
// down for integers, as READ_IMAGE computes it, 0.299 R + 0.587 G + 0.114 B
// for floating point.
template <typename T>
T grey_of(T r, T g, T b) {
  if constexpr (std::is_floating_point_v<T>) {
    return static_cast<T>(0.299 * r + 0.587 * g + 0.114 * b);
  } else {
    const std::int64_t l = 299 * std::int64_t{r} + 587 * std::int64_t{g} + 114 * std::int64_t{b};
    const std::int64_t q = l + 500 >= 0 ? (l + 500) / 1000 : -((-(l + 500) + 999) / 1000);
    return static_cast<T>(q);
  }
}

template <typename T>
void convert_pixels(const T* src, int from, T* dst, int to, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i, src += from, dst += to) {
    const bool colour = from >= 3;
    const T a = from == 2 ? src[1] : from == 4 ? src[3] : opaque<T>();
    if (to == 1) {
      dst[0] = colour ? grey_of(src[0], src[1], src[2]) : src[0];
      continue;
    }
    dst[0] = src[0];
    dst[1] = colour ? src[1] : src[0];
    dst[2] = colour ? src[2] : src[0];
    if (to == 4) dst[3] = a;
  }
}

template <typename T>
void convert_as(const Kex::Array& in, int from, Kex::Array& out, int to, std::size_t n) {
  convert_pixels(static_cast<const T*>(in.data.get()), from, static_cast<T*>(out.data.get()), to,
                 n);
}

// The array in the channels of a mode, its sample type kept.
Kex::Array convert(Kex::Array in, Kex::ImageMode mode) {
  const int from = in.shape.size() == 3 ? static_cast<int>(in.shape[2]) : 1;
  const int to = mode == Kex::ImageMode::grey ? 1 : mode == Kex::ImageMode::rgb ? 3 : 4;
  if (mode == Kex::ImageMode::file || from == to) return in;
  std::vector<std::int64_t> shape{in.shape[0], in.shape[1]};
  if (to > 1) shape.push_back(to);
  Kex::Array out = make(in.dtype, std::move(shape), Start::unwritten);
  const std::size_t n = static_cast<std::size_t>(in.shape[0] * in.shape[1]);
  switch (in.dtype) {
    case Dtype::uint8:
      convert_as<std::uint8_t>(in, from, out, to, n);
      break;
    case Dtype::uint16:
      convert_as<std::uint16_t>(in, from, out, to, n);
      break;
    case Dtype::uint32:
      convert_as<std::uint32_t>(in, from, out, to, n);
      break;
    case Dtype::int8:
      convert_as<std::int8_t>(in, from, out, to, n);
      break;
    case Dtype::int16:
      convert_as<std::int16_t>(in, from, out, to, n);
      break;
    case Dtype::int32:
      convert_as<std::int32_t>(in, from, out, to, n);
      break;
    case Dtype::float32:
      convert_as<float>(in, from, out, to, n);
      break;
    case Dtype::float64:
      convert_as<double>(in, from, out, to, n);
      break;
    default:
      fail_with(kUnknownFormat);
  }
  return out;
}

Kex::Array decode(const std::string& path, Kex::ImageMode mode) {
  std::string detail;
  // A name without extension is completed as the worksheet's readers do.
  std::optional<std::string> name = complete_image_name(path.c_str());
  if (!name) fail_with(kOutOfMemory);
  errno = 0;
  io::Fd fd = io::open_read(*name);
  if (!fd) {
    const int err = errno;
    detail = *name != path && err == ENOENT ? io::kind_detail(path) : std::string();
    if (detail.empty()) detail = io::failure_detail(err, *name);
    fail_with(err == ENOENT   ? kFileNotFound
              : err == EACCES ? kPermissionDenied
                              : kFileIoError,
              1, detail);
  }
  io::ByteReader in(std::move(fd));
  const int first = in.peek();
  if (first == 'I' || first == 'M') return read_tiff(in, *name);

  KexCallContext ctx;
  std::unique_ptr<Decoder> decoder;
  int code = open_decoder(&ctx, decoder, std::move(in), *name);
  if (code != 0) fail_with(code);
  const std::int64_t rows = decoder->rows(), cols = decoder->cols();
  if (rows < 0 || cols < 0 || decoder->layout() == 4) fail_with(kUnknownFormat);
  TypedSink sink(cols, rows, decoder->bottom_up(), mode == Kex::ImageMode::grey);
  code = decoder->decode(sink);
  if (code == 0) code = decoder->status();
  Kex::Array out;
  if (code == 0) code = sink.finish(out);
  if (code != 0) fail_with(code);
  return out;
}

}  // namespace

}  // namespace kexio::arrays

namespace Kex {

Array read_image(const std::string& path, ImageMode mode) {
  using namespace kexio;
  try {
    return arrays::convert(arrays::decode(path, mode), mode);
  } catch (const CodecFailure& f) {
    Throw(decoder_error_message(f.code), f.index, f.detail);
  } catch (const std::bad_alloc&) {
    Throw("out of memory", kWholeCall);
  }
}

}  // namespace Kex
