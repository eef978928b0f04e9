#include "image/decode/open_decoder.h"

#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <iterator>
#include <new>

#include "image/decode/bmp_decoder.h"
#include "image/decode/gif_decoder.h"
#include "image/decode/jpeg_decoder.h"
#include "image/decode/pcx_decoder.h"
#include "image/decode/png_decoder.h"
#include "image/decode/stats_decoders.h"
#include "image/decode/tga_decoder.h"
#include "io/fd.h"

namespace kexio {

namespace {

// The formats, one line each, in the order their sniffers are tried: the
// first that returns 0 is chosen; one that returns neither 0 nor
// kUnknownFormat ends the search with its code. Those known by their first
// byte come first, then PNG and JPEG by their signatures, and TGA, which has
// none, last. `completes` is the place of the format's extension in the
// order a name without one tries them (0 for none).
struct Registered {
  const DecoderFormat& format;
  int completes;
};
const Registered kFormats[] = {
    {kPcxFormat, 5},   // byte 10
    {kBmpFormat, 1},   // "B"
    {kGifFormat, 3},   // "G"
    {kTiffFormat, 0},  // "I", "M"
    {kPpmFormat, 0},   // "P3", "P6"
    {kPgmFormat, 0},   // any other "P"
    {kPngFormat, 6},   // the PNG signature
    {kJpegFormat, 2},  // FF D8 FF, or "JFIF" at byte 6
    {kTgaFormat, 4},   // a plausible header
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

// The first byte of the file and the decimal integer after it (after white
// space; 0 when none follows, saturated when it is too long), read as a
// "%c%d" conversion would. False for an empty file. The reader is left at the
// start of the file again.
bool read_lead(io::ByteReader& in, Lead& lead) {
  lead.first = in.get();
  if (lead.first < 0) return false;
  int c = in.get();
  while (c >= 0 && std::isspace(c))
    c = in.get();
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = c == '-';
    c = in.get();
  }
  long long v = 0;
  while (c >= 0 && std::isdigit(c)) {
    if (v < INT_MAX) v = v * 10 + (c - '0');
    c = in.get();
  }
  if (v > INT_MAX) v = INT_MAX;
  lead.number = static_cast<int>(negative ? -v : v);
  in.clear_failure();
  return in.seek(0);
}

}  // namespace

std::optional<std::string> complete_image_name(const char* name) {
  try {
    std::string completed = name;
    if (completed.find('.') != std::string::npos) return completed;
    completed += '.';
    std::size_t stem = completed.size();
    for (int place = 1;; ++place) {
      const auto it = std::find_if(std::begin(kFormats), std::end(kFormats),
                                   [&](const Registered& r) { return r.completes == place; });
      if (it == std::end(kFormats)) break;
      completed.resize(stem);
      completed += it->format.extension;
      if (io::exists(completed)) break;
    }
    return completed;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

int open_decoder(KexCallContext* ctx, std::unique_ptr<Decoder>& out, const char* path,
                 std::string* detail) {
  out.reset();
  std::optional<std::string> name = complete_image_name(path);
  if (!name) return kOutOfMemory;
  errno = 0;
  io::Fd fd = io::open_read(*name);
  try {
    if (!fd) {
      const int err = errno;
      if (detail != nullptr) {
        // A name completed with an extension that names no file: what the
        // name itself is tells more (a folder, a device), and when it is a
        // regular file, the name that was tried is the one missing.
        const bool completed = err == ENOENT && *name != path;
        if (completed) *detail = io::kind_detail(path);
        if (detail->empty()) {
          *detail = io::failure_detail(err, completed && io::exists(path) ? *name : path);
        }
      }
      return open_errno_code(err);
    }
    return open_decoder(ctx, out, io::ByteReader(std::move(fd)), *name, detail);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

int open_decoder(KexCallContext* ctx, std::unique_ptr<Decoder>& out, io::ByteReader in,
                 const std::string& path, std::string* detail) {
  out.reset();
  Lead lead{};
  if (!read_lead(in, lead)) return kFileIoError;
  const DecoderFormat* chosen = nullptr;
  for (const Registered& r : kFormats) {
    int code = r.format.sniff(lead, in);
    if (code == 0) {
      chosen = &r.format;
      break;
    }
    if (code != kUnknownFormat) return code;
  }
  if (chosen == nullptr || chosen->make == nullptr) return kUnknownFormat;

  std::unique_ptr<Decoder> decoder;
  try {
    decoder = chosen->make(ctx, std::move(in), path);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
  if (decoder == nullptr) return kUnknownFormat;
  int code = decoder->status();
  if (code == 0) {
    out = std::move(decoder);
  } else if (detail != nullptr) {
    *detail = decoder->failure_detail();
  }
  return code;
}

}  // namespace kexio
