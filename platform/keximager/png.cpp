// PNG pictures: 8-bit grey or red, green, blue, not interlaced, written by
// the base library's PNG writer from rows the matrix's planes are packed
// into, a packer for each of the writer's threads.
#include "io/png_writer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "io/byte_writer.h"
#include "keximager.h"

namespace keximager {

namespace {

constexpr std::size_t kBandBytes = std::size_t{1} << 20;

}  // namespace

void write_png(Output& out, const aMatrix* m, unsigned planes) {
  const kexio::io::PngPicture p{static_cast<std::uint32_t>(m->cols / planes), m->rows, planes, 8};
  if (p.width > 0x7FFFFFFFu) write_failed("invalid image width");
  if (p.height > 0x7FFFFFFFu) write_failed("invalid image height");
  std::vector<RowPacker> packers;
  const unsigned workers = kexio::io::png_workers(p);
  packers.reserve(workers);
  for (unsigned w = 0; w < workers; ++w)
    packers.emplace_back(m, planes, kByte, kBandBytes);
  kexio::io::ByteWriter writer(out.fd());
  kexio::io::write_png(
      writer, p, [&](unsigned worker, std::uint32_t first, std::uint32_t count, std::uint8_t* dst) {
        RowPacker& rows = packers[worker];
        while (count > 0) {
          const std::uint32_t n = std::min(count, rows.band_rows());
          std::memcpy(dst, rows.rows(first, n), n * rows.row_bytes());
          dst += n * rows.row_bytes();
          first += n;
          count -= n;
        }
      });
  if (!writer.flush()) write_failed(writer.error());
  out.commit();
}

}  // namespace keximager
