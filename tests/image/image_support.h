// Shared helpers of the image tests: a fresh temporary folder, BMP files
// built byte by byte, and calls through the entry class.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "kexio/io.h"
#include "support/values.h"

namespace image_test {

using Bytes = std::vector<std::uint8_t>;
using Ref = Cvd::Ref;
using IO = Kex::IO;
using Reader = Ref (*)(const std::u16string&, const Ref&);
using Writer = Ref (*)(const std::u16string&, const Ref&, const Ref&);

// A fresh folder under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/kexio-image-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) m_path = buf.data();
  }
  ~TempDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  const std::string& path() const { return m_path; }
  std::string file(const std::string& name) const { return m_path + "/" + name; }
  std::u16string cwd() const { return std::u16string(m_path.begin(), m_path.end()); }
  void write(const std::string& name, const Bytes& bytes) const {
    std::ofstream out(file(name), std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  void write(const std::string& name, const std::string& text) const {
    write(name, Bytes(text.begin(), text.end()));
  }
  Bytes read(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

 private:
  std::string m_path;
};

inline void put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void put32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline std::uint32_t get32(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
inline unsigned get16(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8;
}

using Rgb = std::array<std::uint8_t, 3>;

// A BMP file with a 40-byte information header. palette entries are red,
// green, blue; pixel_data is everything after the palette.
struct Bmp {
  std::int32_t width = 1;
  std::int32_t height = 1;
  unsigned bits = 24;
  std::uint32_t compression = 0;
  std::vector<Rgb> palette;
  long clr_used = -1;  // -1: the palette's length
  long off_bits = -1;  // -1: the end of the palette
  Bytes pixel_data;

  Bytes bytes() const {
    Bytes b;
    std::uint32_t off = 54 + 4 * static_cast<std::uint32_t>(palette.size());
    b.push_back('B');
    b.push_back('M');
    put32(b, off + static_cast<std::uint32_t>(pixel_data.size()));
    put32(b, 0);
    put32(b, off_bits < 0 ? off : static_cast<std::uint32_t>(off_bits));
    put32(b, 40);
    put32(b, static_cast<std::uint32_t>(width));
    put32(b, static_cast<std::uint32_t>(height));
    put16(b, 1);
    put16(b, bits);
    put32(b, compression);
    put32(b, static_cast<std::uint32_t>(pixel_data.size()));
    put32(b, 2835);
    put32(b, 2835);
    put32(b, clr_used < 0 ? static_cast<std::uint32_t>(palette.size())
                          : static_cast<std::uint32_t>(clr_used));
    put32(b, 0);
    for (const Rgb& c : palette) {
      b.push_back(c[2]);
      b.push_back(c[1]);
      b.push_back(c[0]);
      b.push_back(0);
    }
    b.insert(b.end(), pixel_data.begin(), pixel_data.end());
    return b;
  }
};

// Stored rows of an uncompressed file from rows of pixel values given top
// row first: palette indices for 1, 4 and 8 bits, 0xRRGGBB for 24 bits.
inline Bytes stored_rows(unsigned bits, const std::vector<std::vector<std::uint32_t>>& rows) {
  Bytes out;
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
    Bytes row;
    const auto& px = *it;
    if (bits == 24) {
      for (std::uint32_t v : px) {
        row.push_back(static_cast<std::uint8_t>(v));
        row.push_back(static_cast<std::uint8_t>(v >> 8));
        row.push_back(static_cast<std::uint8_t>(v >> 16));
      }
    } else {
      unsigned per_byte = 8 / bits;
      for (std::size_t i = 0; i < px.size(); i += per_byte) {
        unsigned byte = 0;
        for (unsigned k = 0; k < per_byte; ++k) {
          unsigned v = i + k < px.size() ? px[i + k] : 0;
          byte |= v << (8 - bits * (k + 1));
        }
        row.push_back(static_cast<std::uint8_t>(byte));
      }
    }
    while (row.size() % 4 != 0)
      row.push_back(0);
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

struct Raised {
  std::string message;
  std::uint32_t index;
};

inline Raised raised(const std::function<void()>& call) {
  try {
    call();
  } catch (const Kex::Exception& e) {
    return {e.message(), e.index()};
  }
  return {"<nothing raised>", 0};
}

inline Cvd::MatVal* as_matrix(const Ref& v) {
  return dynamic_cast<Cvd::MatVal*>(v.get());
}

// The matrix as rows of values.
inline std::vector<std::vector<double>> rows_of(const Ref& v) {
  Cvd::MatVal* m = as_matrix(v);
  std::vector<std::vector<double>> out;
  if (m == nullptr) return out;
  for (std::uint32_t r = 0; r < m->get_Rows(); ++r) {
    std::vector<double> row;
    for (std::uint32_t c = 0; c < m->get_Cols(); ++c)
      row.push_back(m->get_real(r, c));
    out.push_back(row);
  }
  return out;
}

// Columns first .. first + count - 1 of a matrix, as rows.
inline std::vector<std::vector<double>> block(const std::vector<std::vector<double>>& rows,
                                              std::size_t first, std::size_t count) {
  std::vector<std::vector<double>> out;
  for (const auto& row : rows) {
    out.emplace_back(row.begin() + static_cast<std::ptrdiff_t>(first),
                     row.begin() + static_cast<std::ptrdiff_t>(first + count));
  }
  return out;
}

inline bool have_python_pil() {
  return access("/usr/bin/python3", X_OK) == 0 &&
         std::system("/usr/bin/python3 -c 'import PIL' >/dev/null 2>&1") == 0;
}
inline bool have_imagemagick() {
  return access("/usr/bin/convert-im6.q16", X_OK) == 0;
}

}  // namespace image_test
