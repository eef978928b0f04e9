// Decoders deliver the file's own samples to any sink: a typed copy keeps
// the sample type, the channels and alpha that the worksheet's planes drop.
#include <gtest/gtest.h>
#include <spng.h>

#include <cstdlib>
#include <vector>

#include "image/decode/open_decoder.h"

namespace {

using namespace kexio;

// Interleaved samples of pictures 2 pixels wide, as a typed array would
// hold them: indices looked up.
struct TypedCopy final : ImageSink {
  std::vector<int> samples;
  int channels = 0;
  SampleType type = SampleType::kU8;
  std::vector<Rgb> colours;
  void palette(const Rgb* c, std::size_t n) override { colours.assign(c, c + n); }
  void rows(const std::uint8_t* first, std::ptrdiff_t stride, int n, const PixelLayout& layout,
            Rows) override {
    channels = layout.channels(), type = layout.type;
    const int bytes = type == SampleType::kU16 ? 2 : 1;
    for (int i = 0; i < n; ++i, first += stride) {
      for (int x = 0; x < 2; ++x) {
        for (int k = 0; k < channels; ++k) {
          const int c = layout.model == PixelLayout::kGreyAlpha && k == 1 ? 3 : k;
          const std::uint8_t* p = first + (x * layout.step + layout.offset[c]) * bytes;
          int v = bytes == 2 ? p[0] | p[1] << 8 : p[0];  // little-endian host
          if (layout.model == PixelLayout::kIndexed) {
            const Rgb& rgb = colours[p[0]];
            v = k == 0 ? rgb.r : k == 1 ? rgb.g : rgb.b;
          }
          samples.push_back(v);
        }
      }
    }
  }
};

// A 2 × 1 PNG of colour type 4 (grey and alpha) at 16 bits, written by
// libspng.
std::vector<std::uint8_t> grey_alpha_png16() {
  spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
  spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
  spng_ihdr ihdr{2, 1, 16, SPNG_COLOR_TYPE_GRAYSCALE_ALPHA, 0, 0, 0};
  spng_set_ihdr(ctx, &ihdr);
  std::uint16_t rows[] = {0x1234, 0xFFFE, 0xABCD, 0x0001};
  spng_encode_image(ctx, rows, sizeof rows, SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
  std::size_t size = 0;
  int error = 0;
  auto* png = static_cast<std::uint8_t*>(spng_get_png_buffer(ctx, &size, &error));
  std::vector<std::uint8_t> out(png, png + size);
  std::free(png);
  spng_ctx_free(ctx);
  return out;
}

TEST(ImageSink, TypedCopyKeepsSampleTypeChannelsAndAlpha) {
  // A 2 × 1 true-colour TGA of 32 bits: blue, green, red, alpha.
  const std::vector<std::uint8_t> tga = {0, 0, 2, 0,  0,  0,  0,  0,  0,  0,  0,  0,  2,
                                         0, 1, 0, 32, 40, 10, 20, 30, 40, 50, 60, 70, 80};
  // A 2 × 1 palette GIF is read as colour: indices looked up.
  const std::vector<std::uint8_t> gif = {'G', 'I', 'F', '8', '7', 'a', 2, 0,    1,    0, 0x80, 0,
                                         0,   1,   2,   3,   4,   5,   6, ',',  0,    0, 0,    0,
                                         2,   0,   1,   0,   0,   2,   2, 0x0C, 0x0A, 0, ';'};
  const struct {
    std::vector<std::uint8_t> file;
    SampleType type;
    int channels;
    std::vector<int> samples;
  } cases[] = {
      {tga, SampleType::kU8, 4, {30, 20, 10, 40, 70, 60, 50, 80}},
      {grey_alpha_png16(), SampleType::kU16, 2, {0x1234, 0xFFFE, 0xABCD, 0x0001}},
      {gif, SampleType::kU8, 3, {4, 5, 6, 1, 2, 3}},
  };
  for (const auto& c : cases) {
    KexCallContext ctx;
    std::unique_ptr<Decoder> d;
    ASSERT_EQ(open_decoder(&ctx, d, io::ByteReader(c.file.data(), c.file.size()), "x"), 0);
    TypedCopy copy;
    ASSERT_EQ(d->decode(copy), 0);
    EXPECT_EQ(copy.type, c.type);
    EXPECT_EQ(copy.channels, c.channels);
    EXPECT_EQ(copy.samples, c.samples);
  }
}

}  // namespace
