#include "image/decode/open_decoder.h"

#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "image/decode/bmp_decoder.h"

namespace kexio {

namespace {

using Maker = std::unique_ptr<Decoder> (*)(KexCallContext* ctx, const char* path);

template <typename D>
std::unique_ptr<Decoder> make(KexCallContext*, const char* path) {
  return std::make_unique<D>(path);
}

bool is_ppm_number(int n) {
  return n == 3 || n == 6;
}

// Formats told apart by their first byte, tried in order; the number is the
// decimal integer that follows the first byte (after white space), 0 when
// there is none. A format whose decoder is not in this build has no maker:
// its files report "unknown file format".
struct ByFirstByte {
  int first;
  bool (*number_matches)(int n);  // null: any
  Maker make;
};
constexpr ByFirstByte kByFirstByte[] = {
    {0x0A, nullptr, nullptr},                                    // PCX
    {'B', nullptr, make<bmp_decoder>}, {'G', nullptr, nullptr},  // GIF
    {'I', nullptr, nullptr},                                     // TIFF, little-endian
    {'M', nullptr, nullptr},                                     // TIFF, big-endian
    {'P', is_ppm_number, nullptr},                               // PPM (P3, P6)
    {'P', nullptr, nullptr},                                     // PGM (P1, P2, P5, ...)
};

// Formats recognised by looking into the file, tried in order when the first
// byte chose none. A sniffer's kUnknownFormat passes on to the next one; any
// other failure ends the search.
struct BySniffing {
  int (*sniff)(const char* path);
  Maker make;
};
constexpr BySniffing kBySniffing[] = {
    {sniff_jfif, nullptr},  // JPEG
    {sniff_tga, nullptr},   // TGA
};

int open_errno_code(int err) {
  switch (err) {
    case ENOENT:
      return kFileNotFound;
    case EACCES:
      return kPermissionDenied;
    case EMFILE:
      return kTooManyOpenFiles;
    default:
      return kFileIoError;
  }
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The first byte of the file and the decimal integer after it (after white
// space; 0 when none follows, saturated when it is too long). False for an
// empty file.
bool read_lead(std::FILE* f, int& first, int& number) {
  first = std::getc(f);
  if (first == EOF) return false;
  number = 0;
  int c = std::getc(f);
  while (c != EOF && std::isspace(c))
    c = std::getc(f);
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = std::getc(f);
  }
  long long v = 0;
  while (c != EOF && std::isdigit(c)) {
    if (v < INT_MAX) v = v * 10 + (c - '0');
    c = std::getc(f);
  }
  if (v > INT_MAX) v = INT_MAX;
  number = static_cast<int>(negative ? -v : v);
  return true;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::optional<std::string> complete_image_name(const char* name) {
  try {
    std::string completed = name;
    if (completed.find('.') != std::string::npos) return completed;
    completed += '.';
    std::size_t stem = completed.size();
    for (const char* ext : {"bmp", "jpg", "gif", "tga", "pcx"}) {
      completed.resize(stem);
      completed += ext;
      if (exists(completed)) break;
    }
    return completed;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

int sniff_jfif(const char* path) {
  File f(std::fopen(path, "rb"));
  if (!f) return kFileIoError;
  unsigned char b[10];
  if (std::fread(b, 1, sizeof b, f.get()) != sizeof b) return kFileIoError;
  return std::memcmp(b + 6, "JFIF", 4) == 0 ? 0 : kUnknownFormat;
}

int sniff_tga(const char* path) {
  File f(std::fopen(path, "rb"));
  if (!f) return kFileIoError;
  unsigned char h[18];
  if (std::fread(h, 1, sizeof h, f.get()) != sizeof h) return kFileIoError;
  int colour_map_type = h[1];
  int image_type = h[2];
  int depth = h[16];
  bool type_ok = image_type == 1 || image_type == 2 || image_type == 3 || image_type == 9 ||
                 image_type == 10 || image_type == 11;
  bool depth_ok = depth == 1 || depth == 8 || depth == 16 || depth == 24 || depth == 32;
  return type_ok && colour_map_type <= 1 && depth_ok ? 0 : kUnknownFormat;
}

int open_decoder(KexCallContext* ctx, std::unique_ptr<Decoder>& out, const char* path) {
  out.reset();
  std::optional<std::string> name = complete_image_name(path);
  if (!name) return kOutOfMemory;

  int first = 0, number = 0;
  {
    errno = 0;
    File f(std::fopen(name->c_str(), "rb"));
    if (!f) return open_errno_code(errno);
    if (!read_lead(f.get(), first, number)) return kFileIoError;
  }

  Maker maker = nullptr;
  bool chosen = false;
  for (const ByFirstByte& row : kByFirstByte) {
    if (row.first == first && (row.number_matches == nullptr || row.number_matches(number))) {
      maker = row.make;
      chosen = true;
      break;
    }
  }
  if (!chosen) {
    for (const BySniffing& row : kBySniffing) {
      int code = row.sniff(name->c_str());
      if (code == 0) {
        maker = row.make;
        chosen = true;
        break;
      }
      if (code != kUnknownFormat) return code;
    }
    if (!chosen) return kUnknownFormat;
  }
  if (maker == nullptr) return kUnknownFormat;

  std::unique_ptr<Decoder> decoder;
  try {
    decoder = maker(ctx, name->c_str());
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  int code = decoder->status();
  if (code == 0) code = decoder->begin();
  if (code == 0) out = std::move(decoder);
  return code;
}

}  // namespace kexio
