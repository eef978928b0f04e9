// The host runtime stand-in: values, string conversion, error raising,
// result marshalling and stacking.
#include "kexio/runtime/cvd.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "kexio/host/context.h"
#include "kexio/host/detach.h"
#include "kexio/host/errors.h"

namespace Cvd {

Object::~Object() = default;
NumVal::~NumVal() = default;
StrVal::~StrVal() = default;
MatVal::~MatVal() = default;

const NumVal NumVal::NaN(std::numeric_limits<double>::quiet_NaN());

std::int32_t NumVal::asInt() const {
  double r = std::nearbyint(Data.rp);
  if (!(r >= -2147483648.0)) return std::numeric_limits<std::int32_t>::min();
  if (r > 2147483647.0) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(r);
}

double NestedSlot() {
  std::uint64_t ones = ~std::uint64_t{0};
  double d;
  std::memcpy(&d, &ones, sizeof d);
  return d;
}

bool IsNestedSlot(double v) {
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits == ~std::uint64_t{0};
}

Array NewArray(std::size_t n) {
  return Array(new double[n == 0 ? 1 : n]);
}

MatVal::MatVal(Array re, Array im, std::uint32_t rows, std::uint32_t cols, std::uint32_t collen,
               std::shared_ptr<Table> parr)
    : m_rarr(std::move(re)), m_iarr(std::move(im)), m_parr(std::move(parr)) {
  if (collen != rows) throw std::invalid_argument("MatVal: column length must equal rows");
  if (!m_rarr) m_rarr = NewArray(static_cast<std::size_t>(rows) * cols);
  Data.tag[0] = rows;
  Data.tag[1] = Kex::kMatrixTag;
  Data.rows = rows;
  Data.cols = cols;
  Data.m_rv = real();
  Data.m_iv = imag();
}

std::shared_ptr<MatVal> MatVal::Zeros(std::uint32_t rows, std::uint32_t cols, bool complex) {
  std::size_t n = static_cast<std::size_t>(rows) * cols;
  Array re = NewArray(n);
  std::fill_n(re.get(), n, 0.0);
  Array im;
  if (complex) {
    im = NewArray(n);
    std::fill_n(im.get(), n, 0.0);
  }
  return std::make_shared<MatVal>(re, im, rows, cols, rows, nullptr);
}

bool MatVal::get_IsRealMatrix() const {
  if (m_parr && !m_parr->empty()) return false;
  if (!m_iarr) return true;
  const double* im = imag();
  for (std::size_t i = 0, n = size(); i < n; ++i) {
    if (im[i] != 0.0) return false;
  }
  return true;
}

double MatVal::get_real(std::uint32_t row, std::uint32_t col) const {
  return real()[static_cast<std::size_t>(col) * Data.rows + row];
}

double MatVal::get_1(std::size_t index) const {
  return real()[index];
}

Ref MatVal::get_2_na(NumVal& num, std::uint32_t row, std::uint32_t col) const {
  std::size_t index = static_cast<std::size_t>(col) * Data.rows + row;
  if (m_parr) {
    auto it = m_parr->find(static_cast<std::int32_t>(index));
    if (it != m_parr->end()) return it->second;
  }
  num.Data.rp = real()[index];
  num.Data.ip = m_iarr ? imag()[index] : 0.0;
  return nullptr;
}

}  // namespace Cvd

namespace Vrt {

std::string StringToRawBytes(const std::u16string& s) {
  std::string out(s.size(), '\0');
  for (std::size_t i = 0; i < s.size(); ++i)
    out[i] = static_cast<char>(s[i] & 0xFF);
  return out;
}

std::u16string RawBytesToString(const std::string& bytes) {
  std::u16string out(bytes.size(), u'\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[i]));
  }
  return out;
}

void Run::AppException::Raise(const std::u16string& message, std::uint32_t index) {
  throw Kex::Exception(StringToRawBytes(message), index);
}

}  // namespace Vrt

namespace {

// Takes over the arena's array when it is a large one, else copies it.
Cvd::Array adopt(const double* data, std::size_t n) {
  if (void* block = Kex::detach_array(IcvAllocator::m_current, data)) {
    return Cvd::Array(const_cast<double*>(data), [block](double*) { Kex::free_detached(block); });
  }
  Cvd::Array copy = Cvd::NewArray(n);
  if (n != 0) {
    if (data != nullptr) {
      std::memcpy(copy.get(), data, n * sizeof(double));
    } else {
      std::fill_n(copy.get(), n, 0.0);
    }
  }
  return copy;
}

}  // namespace

Cvd::Ref KexMarshal::UnMarshal(Kex::Anyval* result) {
  if (result == nullptr) Kex::Throw("out of memory", Kex::kWholeCall);
  if (Kex::is_matrix_record(result)) {
    const auto* m = reinterpret_cast<const Kex::aMatrix*>(result);
    std::size_t n = static_cast<std::size_t>(m->rows) * m->cols;
    Cvd::Array re = adopt(m->m_rv, n);
    Cvd::Array im = m->m_iv != nullptr ? adopt(m->m_iv, n) : nullptr;
    return std::make_shared<Cvd::MatVal>(re, im, m->rows, m->cols, m->rows, nullptr);
  }
  const auto* z = reinterpret_cast<const Kex::aComplex*>(result);
  return std::make_shared<Cvd::NumVal>(z->rp, z->ip);
}

namespace Kex {

Cvd::Ref Matrix::stack(const std::vector<Cvd::Ref>& pair) {
  if (pair.size() != 2) return nullptr;
  auto* a = dynamic_cast<Cvd::MatVal*>(pair[0].get());
  auto* b = dynamic_cast<Cvd::MatVal*>(pair[1].get());
  if (a == nullptr || b == nullptr || a->get_Cols() != b->get_Cols()) return nullptr;
  std::uint32_t ra = a->get_Rows(), rb = b->get_Rows(), cols = a->get_Cols();
  if (ra > std::numeric_limits<std::uint32_t>::max() - rb) return nullptr;
  std::uint32_t rows = ra + rb;
  std::size_t n = static_cast<std::size_t>(rows) * cols;
  Cvd::Array re = Cvd::NewArray(n);
  Cvd::Array im;
  if (a->get_HasImag() || b->get_HasImag()) {
    im = Cvd::NewArray(n);
    std::fill_n(im.get(), n, 0.0);
  }
  std::shared_ptr<Cvd::Table> table;
  auto place = [&](const Cvd::MatVal* m, std::uint32_t first_row) {
    std::uint32_t mr = m->get_Rows();
    for (std::uint32_t c = 0; c < cols; ++c) {
      std::size_t dst = static_cast<std::size_t>(c) * rows + first_row;
      std::size_t src = static_cast<std::size_t>(c) * mr;
      std::copy_n(m->real() + src, mr, re.get() + dst);
      if (m->get_HasImag()) std::copy_n(m->imag() + src, mr, im.get() + dst);
    }
    if (m->m_parr) {
      if (!table) table = std::make_shared<Cvd::Table>();
      for (const auto& [index, value] : *m->m_parr) {
        std::uint32_t r = static_cast<std::uint32_t>(index) % mr;
        std::uint32_t c = static_cast<std::uint32_t>(index) / mr;
        (*table)[static_cast<std::int32_t>(static_cast<std::size_t>(c) * rows + first_row + r)] =
            value;
      }
    }
  };
  place(a, 0);
  place(b, ra);
  return std::make_shared<Cvd::MatVal>(re, im, rows, cols, rows, table);
}

}  // namespace Kex
