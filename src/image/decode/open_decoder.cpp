#include "image/decode/open_decoder.h"

#include <fcntl.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
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

using Maker = std::unique_ptr<Decoder> (*)(KexCallContext* ctx, io::ByteReader&& in,
                                           const std::string& path);

template <typename D>
std::unique_ptr<Decoder> make(KexCallContext*, io::ByteReader&& in, const std::string&) {
  return std::make_unique<D>(std::move(in));
}

// Decoders that hand the file to a host library take the call context and
// the path as well.
template <typename D>
std::unique_ptr<Decoder> make_hosted(KexCallContext* ctx, io::ByteReader&& in,
                                     const std::string& path) {
  return std::make_unique<D>(ctx, std::move(in), path);
}

template <int Byte>
int first_byte(const Lead& lead, io::ByteReader&) {
  return lead.first == Byte ? 0 : kUnknownFormat;
}

int ppm_lead(const Lead& lead, io::ByteReader&) {
  return lead.first == 'P' && (lead.number == 3 || lead.number == 6) ? 0 : kUnknownFormat;
}

// The formats, tried in order: the first whose test returns 0 is chosen; a
// test that returns neither 0 nor kUnknownFormat ends the search with its
// code. A format whose decoder is not in this build has no maker: its files
// report "unknown file format".
struct Format {
  const char* name;
  int (*test)(const Lead& lead, io::ByteReader& in);
  Maker make;
};
constexpr Format kFormats[] = {
    {"pcx", first_byte<0x0A>, make<PcxDecoder>},
    {"bmp", first_byte<'B'>, make<bmp_decoder>},
    {"gif", first_byte<'G'>, make<GifDecoder>},
    {"tiff", first_byte<'I'>, make_hosted<TifDecoder>},  // little-endian
    {"tiff", first_byte<'M'>, make_hosted<TifDecoder>},  // big-endian
    {"ppm", ppm_lead, make_hosted<PpmDecoder>},          // P3, P6
    {"pgm", first_byte<'P'>, make_hosted<PgmDecoder>},   // P1, P2, P4, P5, ...
    {"png", sniff_png, make<PngDecoder>},
    {"jpeg", sniff_jpeg, make<jpegDecoder>},
    {"tga", sniff_tga, make<TgaDecoder>},
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
    for (const char* ext : {"bmp", "jpg", "gif", "tga", "pcx", "png"}) {
      completed.resize(stem);
      completed += ext;
      if (io::exists(completed)) break;
    }
    return completed;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

int sniff_jpeg(const Lead&, io::ByteReader& in) {
  std::span<const std::uint8_t> b = in.window(10);
  if (b.size() < 10) return kFileIoError;
  const bool marker = b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF;
  return marker || std::memcmp(b.data() + 6, "JFIF", 4) == 0 ? 0 : kUnknownFormat;
}

int sniff_tga(const Lead&, io::ByteReader& in) {
  std::span<const std::uint8_t> h = in.window(18);
  if (h.size() < 18) return kFileIoError;
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
  errno = 0;
  io::Fd fd = io::open_with(*name, O_RDONLY);
  if (!fd) return open_errno_code(errno);
  try {
    return open_decoder(ctx, out, io::ByteReader(std::move(fd)), *name);
  } catch (const std::bad_alloc&) {
    return kOutOfMemory;
  }
}

int open_decoder(KexCallContext* ctx, std::unique_ptr<Decoder>& out, io::ByteReader in,
                 const std::string& path) {
  out.reset();
  Lead lead{};
  if (!read_lead(in, lead)) return kFileIoError;
  const Format* chosen = nullptr;
  for (const Format& format : kFormats) {
    int code = format.test(lead, in);
    if (code == 0) {
      chosen = &format;
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
  if (code == 0) code = decoder->begin();
  if (code == 0) out = std::move(decoder);
  return code;
}

}  // namespace kexio
