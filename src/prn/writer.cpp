// WRITEPRN and APPENDPRN: tables written with the worksheet's precision and
// column width, one line per row.
//
// APPENDPRN reads the table already in the file, joins the new rows below it
// and writes the whole table again. Both write through a replacement of the
// file, so a write that fails part-way leaves the old table as it was.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

#include "core/limits.h"
#include "host/workers.h"
#include "io/replace.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"
#include "prn/prn.h"

namespace kexio::prn {

namespace {

using Kex::kWholeCall;
using Kex::Throw;

struct Settings {
  int precision;
  int width;
};

// Null when x is an integer of at most 16,000,000 in magnitude; otherwise the
// message to report.
const char* vfySmallInt(double x, const char* message) {
  if (std::fabs(x - std::floor(x + 0.1)) > 1e-10) return "must be integer";
  if ((x >= 0 && x + 2e-10 > 16'000'000) || (x < 0 && x - 2e-10 < -16'000'000)) return message;
  return nullptr;
}

Settings check_settings(const Cvd::NumVal& precision, const Cvd::NumVal& width) {
  double p = precision.Data.rp, w = width.Data.rp;
  if (const char* e = vfySmallInt(p, "illegal PRNPRECISION")) Throw(e, kWholeCall);
  if (!(p >= 1 && p <= limits::kPrnMaxPrecision)) Throw("illegal PRNPRECISION", kWholeCall);
  if (const char* e = vfySmallInt(w, "illegal PRNCOLWIDTH")) Throw(e, kWholeCall);
  if (!(w >= 1 && w <= limits::kPrnMaxColWidth)) Throw("illegal PRNCOLWIDTH", kWholeCall);
  return {static_cast<int>(p), static_cast<int>(w)};
}

// A name without any full stop gets the extension .prn.
std::string with_extension(std::string path) {
  if (path.find('.') == std::string::npos) path += ".prn";
  return path;
}

// The file is opened for reading and writing, as the worksheet's "w+" mode
// does, so that it refuses the same files.
constexpr int kAccess = O_RDWR;

}  // namespace

void write_matrix(io::ByteWriter& out, const Cvd::MatVal& m, int precision, int width) {
  if (!m.get_IsRealMatrix()) {
    write_nested(out, m, precision, width);
    if (!out.flush()) Throw("file write error", kWholeCall);
    return;
  }
  const double* re = m.real();
  std::size_t rows = m.get_Rows(), cols = m.get_Cols();
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c)
      write_number(out, re[c * rows + r], precision, width);
    out.put('\n');
  }
  if (!out.flush()) Throw("file write error", kWholeCall);
}

}  // namespace kexio::prn

namespace kexio {

using namespace prn;

Cvd::Ref write_prn(const char* filename, const Cvd::Ref& sv, const Cvd::NumVal& prnPrecision,
                   const Cvd::NumVal& prnColWidth, const char* cwd) {
  Settings s = check_settings(prnPrecision, prnColWidth);
  std::string path = with_extension(resolve(filename, cwd, CHTTPRedirector::kWrite));
  io::Replacement file;
  if (int e = file.open(path, kAccess)) {
    if (e == EACCES || e == EEXIST || e == EINVAL || e == EMFILE || e == ENOENT) {
      Throw(std::strerror(e), 1, file.detail(e));
    }
    Throw("file open error", 1, file.detail(e));
  }
  io::ByteWriter out(file.fd(), kOutputBuffer);
  if (auto* number = dynamic_cast<const Cvd::NumVal*>(sv.get())) {
    write_number(out, number->Data.rp, s.precision, s.width);
    if (number->Data.ip != 0) write_number(out, number->Data.ip, s.precision, s.width);
    out.put('\n');
    if (!out.flush()) Throw("file write error", kWholeCall, file.detail(out.error()));
  } else {
    write_matrix(out, static_cast<const Cvd::MatVal&>(*sv), s.precision, s.width);
  }
  if (int e = file.commit()) Throw("file write error", kWholeCall, file.detail(e));
  return sv;
}

Cvd::Ref append_prn(const char* filename, const Cvd::MatVal& amat, const Cvd::NumVal& prnPrecision,
                    const Cvd::NumVal& prnColWidth, const char* cwd) {
  Settings s = check_settings(prnPrecision, prnColWidth);
  std::string path = with_extension(resolve(filename, cwd, CHTTPRedirector::kAppend));
  Cvd::Ref table = std::make_shared<Cvd::MatVal>(amat);
  // The table in the file is read when the file can be read and written. A
  // missing file is created with the new rows alone, and so is a file the
  // test fails on for any reason but a denied access.
  int access_error = ::access(path.c_str(), R_OK | W_OK) == 0 ? 0 : errno;
  if (access_error == EACCES) Throw("access denied", 1, io::failure_detail(EACCES, path));
  if (access_error == 0) {
    io::Fd fd = io::open_read(path);
    if (!fd) Throw("file open error", 1, io::failure_detail(errno, path));
    Input in(std::move(fd));
    table = read_joined(in, table);
  }
  io::Replacement file;
  if (int e = file.open(path, kAccess)) {
    Throw(access_error == ENOENT ? "file creation error" : "file open error", 1, file.detail(e));
  }
  io::ByteWriter out(file.fd(), kOutputBuffer);
  try {
    write_matrix(out, static_cast<const Cvd::MatVal&>(*table), s.precision, s.width);
  } catch (const Kex::Exception&) {
    Throw("file append error", kWholeCall);
  }
  if (int e = file.commit()) Throw("file append error", kWholeCall, file.detail(e));
  return table;
}

}  // namespace kexio
