// Arbitrary bytes as a TIFF file, read by the statistics library through
// every kind of image read operation. The colour planes of READRGB must be
// the one-plane results of READ_RED and READ_BLUE.
//
// Compressed TIFF data can describe far more pixels than the file holds (a
// fax line of any width takes one bit), so inputs whose first directory
// declares more than a million pixels are skipped: reading them is correct
// but takes the fuzzer's memory.
#include <bit>

#include "image_input.h"

namespace {

// Width times height as the first directory states them (0 when it does
// not), read the way the format lays them out.
std::uint64_t declared_pixels(const std::uint8_t* d, std::size_t n) {
  const bool big = d[0] == 'M';
  auto get = [&](std::size_t at, int bytes) -> std::uint64_t {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes && at + static_cast<std::size_t>(i) < n; ++i)
      v |= std::uint64_t{d[at + static_cast<std::size_t>(i)]} << 8 * (big ? bytes - 1 - i : i);
    return v;
  };
  std::uint64_t ifd = get(4, 4), width = 0, height = 0;
  for (std::uint64_t i = 0, count = get(ifd, 2); i < count && ifd + 2 + 12 * i < n; ++i) {
    std::size_t e = static_cast<std::size_t>(ifd + 2 + 12 * i);
    std::uint64_t value = get(e + 2, 2) == 3 ? get(e + 8, 2) : get(e + 8, 4);
    if (get(e, 2) == 256) width = value;
    if (get(e, 2) == 257) height = value;
  }
  return width * height;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8 || (data[0] != 'I' && data[0] != 'M') || declared_pixels(data, size) > 1000000) {
    return 0;
  }
  const std::vector<Cvd::Ref> got =
      fuzz::read_file(data, size, "input.tif",
                      {&Kex::IO::READRGB, &Kex::IO::READ_RED, &Kex::IO::READ_BLUE,
                       &Kex::IO::READ_IMAGE, &Kex::IO::READ_HLS});
  auto* rgb = dynamic_cast<Cvd::MatVal*>(got[0].get());
  auto* red = dynamic_cast<Cvd::MatVal*>(got[1].get());
  auto* blue = dynamic_cast<Cvd::MatVal*>(got[2].get());
  if (rgb == nullptr || red == nullptr || blue == nullptr) return 0;
  const std::uint32_t rows = red->get_Rows(), cols = red->get_Cols();
  if (rgb->get_Rows() != rows || rgb->get_Cols() != 3 * cols)
    fuzz::fail("the colour planes differ from the one-plane reads");
  // Compared bit for bit: floating-point samples may be NaN.
  auto same = [](double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
  };
  for (std::uint32_t r = 0; r < rows; ++r) {
    for (std::uint32_t c = 0; c < cols; ++c) {
      if (!same(rgb->get_real(r, c), red->get_real(r, c)) ||
          !same(rgb->get_real(r, 2 * cols + c), blue->get_real(r, c))) {
        fuzz::fail("the colour planes differ from the one-plane reads");
      }
    }
  }
  return 0;
}
