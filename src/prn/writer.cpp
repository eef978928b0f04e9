// WRITEPRN and APPENDPRN: tables written with the worksheet's precision and
// column width, one line per row.
//
// APPENDPRN reads the table already in the file, joins the new rows below it
// and writes the whole table again. So that a failed write never loses the
// old table, a regular file is replaced through a temporary file in its own
// folder, renamed over it once the new table is complete.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "core/limits.h"
#include "host/workers.h"
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

int create_truncated(const std::string& path) {
  return ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

void write_number(Output& out, double v, const Settings& s) {
  char* at = out.room(kMaxField);
  out.commit(format_g(at, v, s.precision, s.width));
}

// Removes a temporary file unless it was renamed into place.
class TempFile {
 public:
  explicit TempFile(std::string path) : m_path(std::move(path)) {}
  ~TempFile() {
    if (!m_path.empty()) ::unlink(m_path.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return m_path; }
  void keep() { m_path.clear(); }

 private:
  std::string m_path;
};

// Writes the table through a temporary file beside the file the path leads to
// (symbolic links followed, so a link keeps pointing at the new table) and
// renames it over that file. False, with nothing changed, when the path does
// not lead to a regular file or no temporary file can be made there.
bool replace_regular_file(const std::string& path, const Cvd::MatVal& m, const Settings& s) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  struct stat st;
  if (!real || ::stat(real.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string target = real.get();
  std::size_t slash = target.rfind('/');
  std::string folder = target.substr(0, slash + 1);
  // A hidden name that stays within the length a file name may have.
  std::string name = "." + target.substr(slash + 1, 200) + ".XXXXXX";
  std::string pattern = folder + name;
  int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return false;
  UniqueFd file(fd);
  TempFile temp(pattern);
  // The new table keeps the owner (where allowed) and the permissions.
  if (::fchown(fd, st.st_uid, st.st_gid) != 0) {
    // Only the superuser may give a file away; the permissions still carry over.
  }
  ::fchmod(fd, st.st_mode & 07777);
  Output out(fd);
  try {
    write_matrix(out, m, s.precision, s.width);
  } catch (const Kex::Exception&) {
    Throw("file append error", kWholeCall);
  }
  if (!file.reset() || ::rename(temp.path().c_str(), target.c_str()) != 0) {
    Throw("file append error", kWholeCall);
  }
  temp.keep();
  return true;
}

}  // namespace

void write_matrix(Output& out, const Cvd::MatVal& m, int precision, int width) {
  if (!m.get_IsRealMatrix()) {
    write_nested(out, m, precision, width);
    if (!out.flush()) Throw("file write error", kWholeCall);
    return;
  }
  const double* re = m.real();
  std::size_t rows = m.get_Rows(), cols = m.get_Cols();
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      char* at = out.room(kMaxField);
      out.commit(format_g(at, re[c * rows + r], precision, width));
    }
    out.put('\n');
  }
  if (!out.flush()) Throw("file write error", kWholeCall);
  out.truncate_here();
}

}  // namespace kexio::prn

namespace kexio {

using namespace prn;

Cvd::Ref writePRN(const char* filename, const Cvd::Ref& sv, const Cvd::NumVal& prnPrecision,
                  const Cvd::NumVal& prnColWidth, const char* cwd) {
  Settings s = check_settings(prnPrecision, prnColWidth);
  std::string path = with_extension(resolve(filename, cwd, CHTTPRedirector::kWrite));
  int fd = create_truncated(path);
  if (fd < 0) {
    int e = errno;
    if (e == EACCES || e == EEXIST || e == EINVAL || e == EMFILE || e == ENOENT) {
      Throw(std::strerror(e), 1);
    }
    Throw("file open error", 1);
  }
  UniqueFd file(fd);
  Output out(fd);
  if (auto* number = dynamic_cast<const Cvd::NumVal*>(sv.get())) {
    write_number(out, number->Data.rp, s);
    if (number->Data.ip != 0) write_number(out, number->Data.ip, s);
    out.put('\n');
    if (!out.flush()) Throw("file write error", kWholeCall);
  } else {
    write_matrix(out, static_cast<const Cvd::MatVal&>(*sv), s.precision, s.width);
  }
  if (!file.reset()) Throw("file write error", kWholeCall);
  return sv;
}

Cvd::Ref appendPRN(const char* filename, const Cvd::MatVal& amat, const Cvd::NumVal& prnPrecision,
                   const Cvd::NumVal& prnColWidth, const char* cwd) {
  Settings s = check_settings(prnPrecision, prnColWidth);
  std::string path = with_extension(resolve(filename, cwd, CHTTPRedirector::kAppend));
  Cvd::Ref table = std::make_shared<Cvd::MatVal>(amat);
  if (::access(path.c_str(), R_OK | W_OK) != 0) {
    int e = errno;
    if (e == ENOENT) {
      int fd = create_truncated(path);
      if (fd < 0) Throw("file creation error", 1);
      ::close(fd);
    } else if (e == EACCES) {
      Throw("access denied", 1);
    }
    // Any other failure of the test: the new rows alone are written.
  } else {
    int fd = open_for_reading(path);
    if (fd < 0) Throw("file open error", 1);
    Input in(fd);
    table = read_joined(in, table);
  }
  const auto& joined = static_cast<const Cvd::MatVal&>(*table);
  if (!replace_regular_file(path, joined, s)) {
    // A device, a pipe, or a folder where no temporary file can be made: the
    // table is written in place.
    int fd = create_truncated(path);
    if (fd < 0) Throw("file open error", 1);
    UniqueFd file(fd);
    Output out(fd);
    try {
      write_matrix(out, joined, s.precision, s.width);
    } catch (const Kex::Exception&) {
      Throw("file append error", kWholeCall);
    }
    if (!file.reset()) Throw("file append error", kWholeCall);
  }
  return table;
}

}  // namespace kexio
