// The interface every image decoder implements, the sink it delivers its
// rows to, and the record by which a format registers with the factory.
//
// A decoder is made by open_decoder for one file, asked for its size, read
// once into a sink and destroyed. It delivers the stored rows in the file's
// own sample type and channels (alpha included), a row or a band of rows per
// call, so that a sink spends no call per pixel. The worksheet's planes are
// one sink (PlaneWriter); a typed array is another. Decoders never throw for
// file or format problems: they record a code of codec_errors.h, which the
// reading function turns into its message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "image/codec_errors.h"
#include "image/row_buffer.h"
#include "io/byte_reader.h"
#include "kexio/host/context.h"

namespace kexio {

// A plane of the result: one pointer per image column, each to rows()
// consecutive doubles (row 0 is the top of the picture). A null plane is not
// asked for and is skipped.
using Plane = double* const*;

// What a worksheet read asks for: grey levels (0 to 255), red, green and
// blue (0 to 255), or the HLS or HSV components of each pixel.
enum class PixelOp { kGray, kRgb, kHls, kHsv };

struct Rgb {
  std::uint8_t r, g, b;
};

// The type of one stored sample: 16-bit samples are in host byte order.
enum class SampleType : std::uint8_t { kU8, kU16 };

// How the pixels of a delivered row lie: pixel x starts step samples after
// pixel x - 1, and its channels lie at the offsets (in samples) from there:
// red, green, blue and alpha; a grey (or index) sample is at offset[0] and
// repeated at offset[1] and offset[2], so that a sink that wants colour
// reads every layout alike. Indexed rows hold palette indices, looked up in
// the palette last handed to the sink.
struct PixelLayout {
  enum Model : std::uint8_t { kIndexed = 0, kGrey = 1, kGreyAlpha = 2, kRgb = 3, kRgba = 4 };
  Model model = kGrey;
  SampleType type = SampleType::kU8;
  int step = 1;
  int offset[4] = {0, 0, 0, 0};

  // The channels a typed copy of the picture has: 1 (grey), 2 (grey and
  // alpha), 3 (colour, palette indices included) or 4 (colour and alpha).
  int channels() const { return model == kIndexed ? 3 : int{model}; }
  bool has_alpha() const { return model == kGreyAlpha || model == kRgba; }

  static constexpr PixelLayout indexed() { return {kIndexed, SampleType::kU8, 1, {0, 0, 0, 0}}; }
  static constexpr PixelLayout grey(SampleType t = SampleType::kU8, int step = 1) {
    return {kGrey, t, step, {0, 0, 0, 0}};
  }
  static constexpr PixelLayout grey_alpha(SampleType t = SampleType::kU8) {
    return {kGreyAlpha, t, 2, {0, 0, 0, 1}};
  }
  static constexpr PixelLayout rgb(int step, int r, int g, int b, SampleType t = SampleType::kU8) {
    return {kRgb, t, step, {r, g, b, 0}};
  }
  static constexpr PixelLayout rgba(int r, int g, int b, int a, SampleType t = SampleType::kU8) {
    return {kRgba, t, 4, {r, g, b, a}};
  }
};

// Where a decoder's rows go. Rows arrive in stored order (bottom_up() of the
// decoder tells which way that is), each call a band of n rows of the same
// layout, row j at first + j * stride bytes.
class ImageSink {
 public:
  // Whether the rows handed over stay where they are, unchanged, until the
  // decoder is destroyed (rows inside a mapped file), or only until the call
  // returns (rows in a work buffer).
  enum class Rows { kCopy, kKeep };

  // Whether the sink wants grey levels only: a decoder whose library
  // converts colour to grey itself then delivers grey rows.
  virtual bool grey_only() const { return false; }
  // The colours of palette indices 0 .. n - 1 (at most 256) for the indexed
  // rows that follow; indices past them are black.
  virtual void palette(const Rgb* colours, std::size_t n) = 0;
  // Whether the sink is a typed copy of the file's samples rather than the
  // worksheet's planes. A decoder then delivers what the planes leave out
  // or read their own way: the alpha of whole-byte alpha fields (32-bit BMP
  // with an alpha mask) and of palettes (GIF's transparent index, PNG's
  // transparency chunk, through palette_alpha after palette), and grey
  // pictures as grey (TGA, whose planes take grey as blue).
  virtual bool typed() const { return false; }
  // The opacity of palette indices 0 .. n - 1 (at most 256; 0 transparent,
  // 255 opaque); indices past them are opaque.
  virtual void palette_alpha(const std::uint8_t* /*alpha*/, std::size_t /*n*/) {}
  virtual void rows(const std::uint8_t* first, std::ptrdiff_t stride, int n,
                    const PixelLayout& layout, Rows life = Rows::kCopy) = 0;

  // One row.
  void row(const std::uint8_t* px, const PixelLayout& layout, Rows life = Rows::kCopy) {
    rows(px, 0, 1, layout, life);
  }

 protected:
  ~ImageSink() = default;
};

class Decoder : public RowBuffer {
 public:
  virtual ~Decoder() = default;

  // The decoder's status code; 0 when all is well.
  virtual int status() = 0;
  // Image height and width in pixels (for layout 4 the width counts the
  // three planes).
  virtual int rows() const = 0;
  virtual int cols() const = 0;
  // Whether the stored rows run from the bottom of the picture up.
  virtual bool bottom_up() const { return false; }

  // Decodes the picture into sink (its palette first, then every row in
  // stored order) and returns 0 or a code; a code past kReadFailure for a
  // failure found while the rows were read.
  virtual int decode(ImageSink& sink) = 0;

  // Fills the planes asked for: by default through a PlaneWriter over
  // decode().
  virtual int read_planes(PixelOp op, Plane a, Plane b, Plane c);

  // Said beside the message of a failure, where the decoder knows more (a
  // file cut short: where); empty otherwise.
  const std::string& failure_detail() const { return m_detail; }

 protected:
  std::string m_detail;
};

// What the factory reads first: the first byte and the decimal integer that
// follows it after white space (0 when none does).
struct Lead {
  int first;
  int number;
};

// A format as the factory knows it, defined beside its decoder.
struct DecoderFormat {
  const char* name;
  // The extension a name without one is tried with, or null.
  const char* extension;
  // Looks at the start of the file (leaving the reader there) and returns 0
  // for this format, kUnknownFormat for another, or another code that ends
  // the search.
  int (*sniff)(const Lead& lead, io::ByteReader& in);
  // The decoder over the file (path names it for the decoders that hand it
  // to a host library); null when no memory can be had.
  std::unique_ptr<Decoder> (*make)(KexCallContext* ctx, io::ByteReader&& in,
                                   const std::string& path);
};

// The makers of most formats: the decoder made from the reader alone, or
// (for decoders that hand the file to a host library) from the call
// context and the path as well.
template <typename D>
std::unique_ptr<Decoder> make_decoder(KexCallContext*, io::ByteReader&& in, const std::string&) {
  return std::make_unique<D>(std::move(in));
}
template <typename D>
std::unique_ptr<Decoder> make_hosted_decoder(KexCallContext* ctx, io::ByteReader&& in,
                                             const std::string& path) {
  return std::make_unique<D>(ctx, std::move(in), path);
}

// A sniffer of the formats known by their first byte.
template <int Byte>
int sniff_first_byte(const Lead& lead, io::ByteReader&) {
  return lead.first == Byte ? 0 : kUnknownFormat;
}

}  // namespace kexio
