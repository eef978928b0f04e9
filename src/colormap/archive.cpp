#include "colormap/archive.h"

#include <algorithm>
#include <cstdint>

#include "core/limits.h"

namespace kexio::archive {

namespace {

std::uint32_t read_length(io::ByteReader& in, bool* wide) {
  *wide = false;
  std::uint8_t b = in.u8();
  if (b < 0xFF) return b;
  std::uint16_t w = in.le16();
  if (w == 0xFFFE) {
    // 2-byte characters; the length follows. A second marker is not looked
    // for: 0xFFFE is then a plain 16-bit length.
    *wide = true;
    b = in.u8();
    if (b < 0xFF) return b;
    w = in.le16();
  }
  if (w < 0xFFFF) return w;
  return in.le32();
}

}  // namespace

std::optional<std::string> read_string(io::ByteReader& in) {
  bool wide = false;
  const std::uint64_t chars = read_length(in, &wide);
  const std::uint64_t bytes = wide ? 2 * chars : chars;
  // A length beyond the end of a file fails at once instead of reserving
  // room for characters that are not there; a stream's text grows only with
  // what arrives, and to no more than a stream may hold.
  if (in.failed() || bytes > static_cast<std::uint64_t>(in.remaining()) ||
      (in.size() < 0 && bytes > limits::kStreamMaxBytes)) {
    return std::nullopt;
  }
  constexpr std::size_t kPiece = 4096;
  std::string text;
  for (std::uint64_t left = bytes; left > 0;) {
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, kPiece));
    const std::uint8_t* p = in.take(n);
    if (p == nullptr) return std::nullopt;
    left -= n;
    if (!wide) {
      text.append(reinterpret_cast<const char*>(p), n);
      continue;
    }
    for (std::size_t i = 0; i + 1 < n; i += 2) {
      unsigned unit = io::le16(p + i);
      text.push_back(unit <= 0xFF ? static_cast<char>(unit) : '?');
    }
  }
  return text;
}

void write_string(io::ByteWriter& out, std::string_view s) {
  if (s.size() < 0xFF) {
    out.put(static_cast<std::uint8_t>(s.size()));
  } else if (s.size() < 0xFFFE) {
    out.put(0xFF);
    out.le16(static_cast<std::uint16_t>(s.size()));
  } else {
    out.put(0xFF);
    out.le16(0xFFFF);
    out.le32(static_cast<std::uint32_t>(s.size()));
  }
  out.write(s.data(), s.size());
}

}  // namespace kexio::archive
