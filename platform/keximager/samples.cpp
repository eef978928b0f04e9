// Sample types, matrices packed into rows of samples, and the output file.
#include <fcntl.h>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/transpose.h"
#include "io/endian.h"
#include "io/fd.h"
#include "keximager.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"

namespace keximager {

namespace {

struct TypeWord {
  const char* word;
  _mutil_data_type code;
  unsigned size;
};

constexpr TypeWord kTypeWords[] = {
    {"byte", MUTIL_UINT8, 1},   {"sint8", MUTIL_SINT8, 1},   {"uint16", MUTIL_UINT16, 2},
    {"int16", MUTIL_SINT16, 2}, {"uint32", MUTIL_UINT32, 4}, {"int32", MUTIL_SINT32, 4},
    {"float", MUTIL_FLOAT, 4},  {"double", MUTIL_DOUBLE, 8},
};

// Columns converted together before their samples are interleaved.
constexpr std::uint32_t kGroup = 32;

// The double just below 0.5: added before truncating, it rounds halves up
// and leaves 0.49999999999999994 at 0, as the statistics library's casts do.
constexpr double kBelowHalf = 0.49999999999999994;

std::uint8_t to_byte(double v) {
  v = v == v ? std::clamp(v, 0.0, 255.0) : 0.0;
  return static_cast<std::uint8_t>(static_cast<int>(v + kBelowHalf));
}

#if defined(__x86_64__)
// Four doubles as 32-bit integers 0 to 255. max(v, 0) gives its second
// operand, 0, for NaN.
__attribute__((target("avx2"))) inline __m128i four(const double* p) {
  const __m256d v =
      _mm256_min_pd(_mm256_max_pd(_mm256_loadu_pd(p), _mm256_setzero_pd()), _mm256_set1_pd(255.0));
  return _mm256_cvttpd_epi32(_mm256_add_pd(v, _mm256_set1_pd(kBelowHalf)));
}

// Sixteen bytes at a time.
__attribute__((target("avx2"))) std::size_t to_bytes_avx2(const double* s, std::size_t n,
                                                          std::uint8_t* d) {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m128i low = _mm_packs_epi32(four(s + i), four(s + i + 4));
    const __m128i high = _mm_packs_epi32(four(s + i + 8), four(s + i + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_packus_epi16(low, high));
  }
  return i;
}

const bool kHaveAvx2 = __builtin_cpu_supports("avx2");
#endif

// n doubles as bytes, as the statistics library casts them to MUTIL_UINT8
// (the pictures' hot path, so done here without a call per run).
void to_bytes(const double* s, std::size_t n, std::uint8_t* d) {
  std::size_t i = 0;
#if defined(__x86_64__)
  if (kHaveAvx2) i = to_bytes_avx2(s, n, d);
#endif
  for (; i < n; ++i)
    d[i] = to_byte(s[i]);
}

// n consecutive doubles as samples of the type, in this machine's order.
void cast_run(const double* src, std::uint32_t n, const SampleType& t, std::uint8_t* dst) {
  if (t.code == MUTIL_UINT8) return to_bytes(src, n, dst);
  if (t.code == MUTIL_DOUBLE) {  // the cast would share the source instead
    std::memcpy(dst, src, std::size_t{n} * sizeof(double));
    return;
  }
  const auto k = static_cast<std::int32_t>(n);
  _univ_mat from{k, 1, MUTIL_STORAGE_SHARED, const_cast<double*>(src), MUTIL_DOUBLE};
  _univ_mat to{k, 1, MUTIL_STORAGE_SHARED, dst, t.code};
  mutils::matuniv_cast(&from, 1, nullptr, &to);
}

// Moves the samples of g converted columns per plane (tile: column j of
// plane p holds count samples at (p * group + j) * count) into count rows
// of interleaved pixels starting at out, rows row_bytes apart.
template <unsigned Size>
void interleave(const std::uint8_t* tile, std::uint32_t count, std::uint32_t group, std::uint32_t g,
                unsigned planes, std::uint8_t* out, std::size_t row_bytes) {
  for (std::uint32_t k = 0; k < count; ++k) {
    std::uint8_t* dst = out + k * row_bytes;
    for (std::uint32_t j = 0; j < g; ++j) {
      for (unsigned p = 0; p < planes; ++p, dst += Size)
        std::memcpy(dst, tile + ((std::size_t{p} * group + j) * count + k) * Size, Size);
    }
  }
}

// The same for one plane of bytes (grey pictures).
void grey_rows(const std::uint8_t* tile, std::uint32_t count, std::uint32_t g, std::uint8_t* out,
               std::size_t row_bytes) {
  for (std::uint32_t k = 0; k < count; ++k) {
    std::uint8_t* dst = out + k * row_bytes;
    const std::uint8_t* src = tile + k;
    for (std::uint32_t j = 0; j < g; ++j)
      dst[j] = src[std::size_t{j} * count];
  }
}

}  // namespace

bool sample_type(const char* word, SampleType& out) {
  const std::size_t n = std::strlen(word);
  const bool big = n > 2 && std::strcmp(word + n - 2, "be") == 0;
  const std::size_t stem = big ? n - 2 : n;
  for (const TypeWord& t : kTypeWords) {
    if (std::strlen(t.word) == stem && std::strncmp(t.word, word, stem) == 0) {
      out = {t.code, t.size, big};
      return true;
    }
  }
  return false;
}

RowPacker::RowPacker(const aMatrix* m, unsigned planes, SampleType type, std::size_t band_bytes)
    : m_data(m->m_rv),
      m_rows(m->rows),
      m_width(m->cols / planes),
      m_planes(planes),
      m_type(type),
      m_row_bytes(std::size_t{m_width} * planes * type.size) {
  std::size_t band = m_row_bytes > 0 ? band_bytes / m_row_bytes : m_rows;
  m_band_rows = static_cast<std::uint32_t>(std::clamp<std::size_t>(band, 1, std::max(m_rows, 1u)));
  // Nothing is made for rows that are not there (a matrix may have columns
  // and no rows).
  m_band.reset(
      new std::uint8_t[std::max<std::size_t>(1, std::min(m_band_rows, m_rows) * m_row_bytes)]);
  m_group = std::min(kGroup, m_width);
  m_tile.reset(new std::uint8_t[tile_bytes()]);
}

std::uint8_t* RowPacker::rows(std::uint32_t top, std::uint32_t count) {
  rows_into(top, count, m_band.get(), m_tile.get());
  return m_band.get();
}

std::size_t RowPacker::tile_bytes() const {
  return std::size_t{m_group} * m_planes * m_band_rows * m_type.size + 1;
}

void RowPacker::rows_into(std::uint32_t top, std::uint32_t count, std::uint8_t* band,
                          std::uint8_t* tile) const {
  const unsigned size = m_type.size;
  for (std::uint32_t j0 = 0; j0 < m_width; j0 += kGroup) {
    const std::uint32_t g = std::min(kGroup, m_width - j0);
    for (unsigned p = 0; p < m_planes; ++p) {
      for (std::uint32_t j = 0; j < g; ++j) {
        const double* column = m_data + (std::size_t{p} * m_width + j0 + j) * m_rows;
        // The next column's run is far away in memory: asked for now, it
        // arrives while this one is converted.
        if (j + 1 < g) {
          const auto* next = reinterpret_cast<const char*>(column + m_rows + top);
          for (std::size_t b = 0; b < std::size_t{count} * sizeof(double); b += 64)
            __builtin_prefetch(next + b);
        }
        cast_run(column + top, count, m_type, tile + (std::size_t{p} * m_group + j) * count * size);
      }
    }
    std::uint8_t* out = band + std::size_t{j0} * m_planes * size;
    switch (size) {
      case 1:
        if (m_planes == 1) {
          grey_rows(tile, count, g, out, m_row_bytes);
        } else if (m_planes == 3) {
          const std::uint8_t* const rgb[3] = {tile, tile + std::size_t{m_group} * count,
                                              tile + 2 * std::size_t{m_group} * count};
          kexio::columns::pixels_from_columns(rgb, count, g, count, out,
                                              static_cast<std::ptrdiff_t>(m_row_bytes));
        } else {
          interleave<1>(tile, count, m_group, g, m_planes, out, m_row_bytes);
        }
        break;
      case 2:
        interleave<2>(tile, count, m_group, g, m_planes, out, m_row_bytes);
        break;
      case 4:
        interleave<4>(tile, count, m_group, g, m_planes, out, m_row_bytes);
        break;
      default:
        interleave<8>(tile, count, m_group, g, m_planes, out, m_row_bytes);
    }
  }
  if (m_type.big_endian) kexio::io::swap_elements(band, count * m_row_bytes, size);
}

std::string resolve(const char* file, const char* cwd, int mode) {
  // Names arrive as byte strings (Latin-1); the resolver takes path text,
  // in which each byte is the character of its value.
  auto text = [](const char* bytes) {
    std::u16string units;
    for (const auto* p = reinterpret_cast<const unsigned char*>(bytes); *p != 0; ++p)
      units.push_back(*p);
    return Kex::path_text(units);
  };
  try {
    return CHTTPRedirector(text(file).c_str(), text(cwd).c_str(), mode).LocalPath();
  } catch (const Kex::ComError& e) {
    Kex::Throw(e.Description().c_str(), Kex::kWholeCall);
  }
}

void write_failed(const std::string& why) {
  Kex::Throw(("file write error: " + why).c_str(), Kex::kWholeCall);
}

void write_failed(int error) {
  write_failed(std::strerror(error));
}

Output::Output(const std::string& path, int access) {
  if (int e = m_file.open(path, access)) {
    Kex::Throw(std::strerror(e), Kex::kWholeCall, m_file.detail(e));
  }
}

void Output::write(const void* data, std::size_t n) {
  if (!kexio::io::write_full(fd(), data, n)) write_failed(errno);
}

void Output::commit() {
  if (int e = m_file.commit()) write_failed(e);
}

}  // namespace keximager
