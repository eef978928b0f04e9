// LoadColormap and SaveColormap: n x 3 colour matrices in colormap files.
//
// A colormap file is an archive stream: the identification string, the
// colour count and one 32-bit value per colour (red in the low byte, then
// green and blue, the high byte zero). Colormaps live in cmaps/ beside
// libkexio.so; names are used as given, not resolved against the worksheet
// directory.
//
// SaveColormap writes the whole file to a temporary file first and then puts
// a copy in place with a rename, so an existing colormap is replaced only by a
// complete new one, and no temporary file outlives the call.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "colormap/archive.h"
#include "core/limits.h"
#include "host/loader.h"
#include "host/workers.h"
#include "kexio/host/errors.h"

namespace kexio {

namespace {

using archive::Failure;
using archive::FileHandle;

constexpr char kIdentification[] = "Pellmark Colormap";
constexpr std::size_t kMaxMessage = limits::kMaxMessage;

std::string colormap_dir() {
  return module_dir() + "/cmaps/";
}

// The final component of a path has an extension when it contains a dot
// (".hidden" and "x." count, as the file-name splitter of the format's
// platform sees them).
bool has_extension(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::size_t dot = path.rfind('.');
  return dot != std::string::npos && (slash == std::string::npos || dot > slash);
}

// A bare name goes into the colormap folder, a name with a folder is a path
// of its own; ".cmp" is added only when the name has no extension.
std::string save_path(const char* name) {
  std::string n = name;
  std::string path = n.find('/') == std::string::npos ? colormap_dir() + n : n;
  if (!has_extension(n)) path += ".cmp";
  return path;
}

// Reports a file or archive failure at the name: its text, cut to what the
// host shows (never inside a UTF-8 sequence), or "file i/o error" without one.
[[noreturn]] void report(const std::string& text) {
  if (text.empty()) Kex::Throw("file i/o error", 1);
  std::string shown = text;
  if (shown.size() > kMaxMessage) {
    std::size_t cut = kMaxMessage;
    while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80)
      --cut;
    shown.resize(cut);
  }
  Kex::Throw(shown.c_str(), 1);
}

// A temporary file named cmpXXXXXX in $TMPDIR (or /tmp), removed when the
// owner goes away unless it already was.
class TempFile {
 public:
  bool create() {
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = (dir != nullptr && dir[0] != 0) ? dir : "/tmp";
    if (pattern.back() != '/') pattern.push_back('/');
    pattern += "cmpXXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return false;
    m_fd = FileHandle(fd);
    m_path = name.data();
    return true;
  }
  ~TempFile() {
    m_fd.reset();
    if (!m_path.empty()) ::unlink(m_path.c_str());
  }
  int fd() const { return m_fd.get(); }
  const std::string& path() const { return m_path; }
  bool close() { return m_fd.reset(); }

 private:
  FileHandle m_fd;
  std::string m_path;
};

// Copies the finished temporary file over the destination. The copy goes to
// a new file beside the destination, which is renamed onto it only once it is
// complete: a failure at any point leaves the destination as it was. A
// symbolic link is followed, so that the file it names is replaced; an
// existing file keeps its permission bits and owner.
bool copy_into_place(const std::string& from, const std::string& to) {
  std::string target = to;
  struct stat st {};
  if (::lstat(to.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = ::realpath(to.c_str(), nullptr)) {
      target = real;
      std::free(real);
    }
  }
  bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) return false;

  FileHandle in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (!in) return false;
  std::string sibling;
  FileHandle out;
  for (unsigned attempt = 0; attempt < 100 && !out; ++attempt) {
    sibling = target + ".cmp-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    out = FileHandle(::open(sibling.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (!out && errno != EEXIST) return false;
  }
  if (!out) return false;

  bool ok = true;
  if (exists) {
    ok = ::fchmod(out.get(), st.st_mode & 07777) == 0;
    if (ok && ::fchown(out.get(), st.st_uid, st.st_gid) != 0) {
      // Only a privileged process may give a file away; keeping our own
      // ownership is fine otherwise.
    }
  }
  char buf[65536];
  while (ok) {
    ssize_t got = ::read(in.get(), buf, sizeof buf);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < got;) {
      ssize_t put = ::write(out.get(), buf + done, static_cast<std::size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      ok = put > 0;
      if (ok) done += put;
    }
  }
  ok = out.reset() && ok;
  ok = ok && ::rename(sibling.c_str(), target.c_str()) == 0;
  if (!ok) ::unlink(sibling.c_str());
  return ok;
}

}  // namespace

aMatrix* ReadColormap(KexCallContext* ctx, const char* file) {
  const std::string path = colormap_dir() + file + ".cmp";
  try {
    FileHandle f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (f && ::fstat(f.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
      // Reading a folder fails later with a less telling text.
      throw Failure(archive::describe("cannot open", path, EISDIR));
    }
    if (!f) throw Failure(archive::describe("cannot open", path, errno));

    archive::Loader ar(f.get(), path);
    if (ar.read_string() != kIdentification) Kex::Throw("bad colormap matrix", 1);
    const std::int32_t count = ar.read_i32();
    if (count < 0) Kex::Throw("bad colormap matrix", 1);
    const auto n = static_cast<std::uint32_t>(count);
    if (4 * static_cast<std::uint64_t>(n) > ar.remaining()) ar.end_of_file();

    double* rgb = Kex::allocate_doubles(static_cast<std::size_t>(n) * 3);
    aMatrix* m = rgb != nullptr ? Kex::new_real_matrix(ctx->m_alloc, n, 3, rgb) : nullptr;
    if (m == nullptr) Kex::Throw("out of memory", Kex::kWholeCall);
    for (std::uint32_t i = 0; i < n; ++i) {
      std::uint32_t v = ar.read_u32();
      rgb[i] = v & 0xFF;
      rgb[n + i] = (v >> 8) & 0xFF;
      rgb[2 * static_cast<std::size_t>(n) + i] = (v >> 16) & 0xFF;
    }
    return m;
  } catch (const Failure& e) {
    report(e.what());
  }
}

aComplex* WriteColormap(KexCallContext* ctx, const char* file, const aMatrix* m) {
  if (m->rows < 2) Kex::Throw("must have at least 2 colors", 2);
  if (m->cols != 3) Kex::Throw("must be an nx3 matrix", 2);
  const std::uint32_t n = m->rows;

  // Every colour is converted before any file is touched: each component is
  // clamped to 0..255 and truncated; NaN has no colour value.
  std::vector<std::uint32_t> colours(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint32_t packed = 0;
    for (std::uint32_t c = 0; c < 3; ++c) {
      double x = m->m_rv[static_cast<std::size_t>(c) * n + i];
      if (std::isnan(x)) Kex::Throw("must be real matrix", 2);
      x = x > 255.0 ? 255.0 : (x < 0.0 ? 0.0 : x);
      packed |= static_cast<std::uint32_t>(x) << (8 * c);
    }
    colours[i] = packed;
  }

  const std::string dest = save_path(file);
  TempFile tmp;
  if (!tmp.create()) Kex::Throw("failed to create temporary file", 2);
  try {
    archive::Storer ar(tmp.fd(), tmp.path());
    ar.write_string(kIdentification);
    ar.write_u32(n);
    for (std::uint32_t v : colours)
      ar.write_u32(v);
    ar.flush();
    if (!tmp.close()) throw Failure(archive::describe("cannot write", tmp.path(), errno));
  } catch (const Failure& e) {
    report(e.what());
  }
  if (!copy_into_place(tmp.path(), dest)) Kex::Throw("file i/o error", 1);

  const double re = n;
  const double im = 0.0;
  aComplex* z = Kex::new_complex(ctx->m_alloc, &re, &im);
  if (z == nullptr) Kex::Throw("out of memory", Kex::kWholeCall);
  return z;
}

}  // namespace kexio
