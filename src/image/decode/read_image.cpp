// The image reading functions: every one resolves the name, opens a decoder
// through the factory, sizes the result from it and lets one read operation
// fill one or three planes of the result's columns.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/limits.h"
#include "core/memory.h"
#include "host/workers.h"
#include "image/decode/open_decoder.h"
#include "io/fd.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"

namespace kexio {

namespace {

// The plane a one-plane function keeps, or all three side by side.
constexpr int kAllPlanes = -1;

// The most doubles one result may hold: what the machine's memory could
// possibly back. Larger requests are refused as "out of memory" rather than
// allowed to exhaust the process.
std::uint64_t max_result_doubles() {
  return memory::physical() / sizeof(double);
}

aMatrix* read_planes(KexCallContext* ctx, const char* file, const char* cwd, PixelOp op,
                     int which) {
  std::string path = CHTTPRedirector(file, cwd, CHTTPRedirector::kRead).LocalPath();

  std::unique_ptr<Decoder> decoder;
  std::string detail;
  int code = open_decoder(ctx, decoder, path.c_str(), &detail);
  if (code != 0 && !detail.empty()) fail_with(code, Kex::kWholeCall, detail);
  if (code != 0) fail_with(code);

  const std::int64_t rows = decoder->rows();
  const std::int64_t cols = decoder->cols();
  if (rows < 0 || cols < 0) fail_with(kUnknownFormat);
  const bool packed = decoder->layout() == 4;
  const bool three = which == kAllPlanes;
  const std::int64_t width = three && !packed ? 3 * cols : cols;
  const std::int64_t plane_width = three && packed ? cols / 3 : cols;
  if (static_cast<std::uint64_t>(width) > limits::kMaxDimension ||
      (width > 0 && static_cast<std::uint64_t>(rows) >
                        max_result_doubles() / static_cast<std::uint64_t>(width))) {
    fail_with(kOutOfMemory);
  }

  double* data = Kex::allocate_doubles(static_cast<std::size_t>(rows * width));
  if (data == nullptr) fail_with(kOutOfMemory);
  // A packed picture fills only some of the columns of some members (the
  // green plane alone, one colour-space component); the others read as 0.
  if (packed) std::fill_n(data, rows * width, 0.0);

  // One pointer per result column. An image without rows has nothing to
  // fill, so its planes stay null however wide it claims to be.
  std::vector<double*> columns;
  if (width > 0 && rows > 0) {
    columns.resize(static_cast<std::size_t>(width));
    for (std::int64_t c = 0; c < width; ++c)
      columns[static_cast<std::size_t>(c)] = data + c * rows;
  }
  double* const* all = columns.empty() ? nullptr : columns.data();
  Plane planes[3] = {nullptr, nullptr, nullptr};
  if (all != nullptr) {
    if (three) {
      planes[0] = all;
      if (!(packed && op == PixelOp::kRgb)) {
        planes[1] = all + plane_width;
        planes[2] = all + 2 * plane_width;
      }
    } else {
      planes[which] = all;
    }
  }

  code = decoder->read_planes(op, planes[0], planes[1], planes[2]);
  if (code == 0) code = decoder->status();
  if (code != 0) fail_with(code, Kex::kWholeCall, decoder->failure_detail());
  decoder.reset();

  aMatrix* m = Kex::new_real_matrix(ctx->m_alloc, static_cast<std::uint32_t>(rows),
                                    static_cast<std::uint32_t>(width), data);
  if (m == nullptr) fail_with(kOutOfMemory);
  return m;
}

}  // namespace

aMatrix* read_image(KexCallContext* ctx, const char* file, const char* cwd) {
  return read_planes(ctx, file, cwd, PixelOp::kGray, 0);
}
aMatrix* read_rgb(KexCallContext* ctx, const char* file, const char* cwd) {
  return read_planes(ctx, file, cwd, PixelOp::kRgb, kAllPlanes);
}
aMatrix* read_red(KexCallContext* ctx, const char* file, const char* cwd) {
  return read_planes(ctx, file, cwd, PixelOp::kRgb, 0);
}
aMatrix* read_green(KexCallContext* ctx, const char* file, const char* cwd) {
  return read_planes(ctx, file, cwd, PixelOp::kRgb, 1);
}
aMatrix* read_blue(KexCallContext* ctx, const char* file, const char* cwd) {
  return read_planes(ctx, file, cwd, PixelOp::kRgb, 2);
}
aMatrix* read_hls(KexCallContext* ctx, const char* file, const char* cwd) {
  return read_planes(ctx, file, cwd, PixelOp::kHls, kAllPlanes);
}
aMatrix* read_hls_hue(KexCallContext* ctx, const char* file, const char* cwd) {
  return read_planes(ctx, file, cwd, PixelOp::kHls, 0);
}
aMatrix* read_hls_light(KexCallContext* ctx, const char* file, const char* cwd) {
  return read_planes(ctx, file, cwd, PixelOp::kHls, 1);
}
aMatrix* read_hls_sat(KexCallContext* ctx, const char* file, const char* cwd) {
  return read_planes(ctx, file, cwd, PixelOp::kHls, 2);
}
aMatrix* read_hsv(KexCallContext* ctx, const char* file, const char* cwd) {
  return read_planes(ctx, file, cwd, PixelOp::kHsv, kAllPlanes);
}
aMatrix* read_hsv_hue(KexCallContext* ctx, const char* file, const char* cwd) {
  return read_planes(ctx, file, cwd, PixelOp::kHsv, 0);
}
aMatrix* read_hsv_sat(KexCallContext* ctx, const char* file, const char* cwd) {
  return read_planes(ctx, file, cwd, PixelOp::kHsv, 1);
}
aMatrix* read_hsv_value(KexCallContext* ctx, const char* file, const char* cwd) {
  return read_planes(ctx, file, cwd, PixelOp::kHsv, 2);
}

}  // namespace kexio
