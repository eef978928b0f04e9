// READFILE: sorts the variable argument list into the column schema, the row
// and column ranges and the replacement of missing values, checks them, and
// imports the file through the host's data-import library, loaded on first
// use. The library's result becomes a worksheet value through the runtime's
// two value factories.
#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "host/checks.h"
#include "host/loader.h"
#include "host/workers.h"
#include "kexio/host/errors.h"
#include "kexio/host/services.h"
#include "kexio/runtime/import.h"

namespace kexio {

namespace {

HostEntry<KexReadFile> g_readfile("tblreadr.dll", "readfile");
// The library's detail of its last failure, where it has this entry.
HostEntry<const char* (*)()> g_readfile_detail("tblreadr.dll", "readfile_detail");

struct Range {
  std::int32_t first = 0;  // (0, -1): no range given
  std::int32_t last = -1;
};

// A double truncated toward zero as the processor converts it: NaN and
// values outside the 32-bit range give the lowest 32-bit integer.
std::int32_t truncated(double v) {
  if (!(v > -2147483649.0 && v < 2147483648.0)) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

Range range_of(const Cvd::Ref& v, std::uint32_t index) {
  Range r;
  auto* m = dynamic_cast<Cvd::MatVal*>(v.get());
  if (dynamic_cast<Cvd::NumVal*>(v.get()) != nullptr) {
    if (!Kex::Error::is_int(v, &r.first)) Kex::Throw("must be integer", index);
  } else if (m != nullptr && m->get_Cols() <= 1) {
    if (m->get_Rows() != 2 || m->get_Cols() != 1) Kex::Throw("invalid range", index);
    r.first = truncated(m->get_1(0));
    r.last = truncated(m->get_1(1));
    if (r.last < r.first) Kex::Throw("upper bound must be bigger", index);
  } else {
    Kex::Throw("must be a scalar or a vector", index);
  }
  if (r.first < 1) Kex::Throw("must be positive integer", index);
  return r;
}

// The field widths of a schema: a real integer column vector.
std::vector<std::int32_t> widths_of(const Cvd::Ref& schema) {
  Cvd::MatVal* m = nullptr;
  if (!Kex::Error::is_imatrix(schema, Kex::Error::ofsize_t{-1, 1}, &m)) {
    Kex::Throw("must be integer vector", 3);
  }
  std::vector<std::int32_t> widths(m->size());
  for (std::size_t i = 0; i < widths.size(); ++i) {
    if (!Kex::Error::is_int(std::make_shared<Cvd::NumVal>(m->get_1(i)), &widths[i])) {
      Kex::Throw("must be an integer vector", 3);
    }
  }
  return widths;
}

// The data-import function: checks the sorted arguments, calls the import
// library and turns its result into a host value. Argument positions are
// 1-based, 0 when the argument is absent.
Cvd::Ref import(const char* cwd, const char* fname, const char* type, const Cvd::Ref& schema,
                const Cvd::Ref& rowrange, const Cvd::Ref& colrange, const Cvd::Ref& missing,
                std::uint32_t irowrange, std::uint32_t icolrange, std::uint32_t imissing) {
  KexReadFile entry = g_readfile.get();
  if (entry == nullptr) Kex::Throw("unknown error", Kex::kWholeCall);

  std::vector<std::int32_t> widths;
  if (schema) widths = widths_of(schema);
  Range rows = rowrange ? range_of(rowrange, irowrange) : Range{};
  Range cols = colrange ? range_of(colrange, icolrange) : Range{};
  Kex::aComplex replacement = Cvd::NumVal::NaN.Data;
  std::string text;
  bool is_text = false;
  if (missing) {
    if (auto* n = dynamic_cast<Cvd::NumVal*>(missing.get())) {
      replacement = n->Data;
    } else if (auto* s = dynamic_cast<Cvd::StrVal*>(missing.get())) {
      text = Vrt::StringToRawBytes(s->m_str);
      is_text = true;
    } else {
      Kex::Throw("must be a string or a scalar", imissing);
    }
  }

  // An empty schema is still a schema: it must not reach the library as null.
  static const std::int32_t kNoWidths = 0;
  const char* message = nullptr;
  std::uint32_t index = 0;
  KexTable* table =
      entry(cwd, fname, type, rows.first, rows.last, cols.first, cols.last, replacement.rp,
            replacement.ip, is_text ? text.c_str() : nullptr,
            schema ? (widths.empty() ? &kNoWidths : widths.data()) : nullptr,
            static_cast<std::int32_t>(widths.size()), static_cast<std::int32_t>(irowrange),
            static_cast<std::int32_t>(icolrange), &message, &index);
  if (table == nullptr) {
    if (message == nullptr) Kex::Throw("unknown error", Kex::kWholeCall);
    const auto detail = g_readfile_detail.get();
    const char* said = detail != nullptr ? detail() : nullptr;
    Kex::Throw(message, index, said != nullptr ? said : "");
  }
  // From here the object owns the table and releases it, also when the
  // conversion fails.
  std::shared_ptr<Cvd::ComObject> object;
  try {
    object = std::make_shared<Cvd::ComObject>(table);
  } catch (...) {
    table->release(table);
    throw;
  }
  return Corvida::Automation::ValueFactory::FromAutomation(
      Corvida::Components::VSValueFactory::FromVSData(object));
}

std::u16string lower(std::u16string s) {
  for (char16_t& c : s) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + (u'a' - u'A'));
  }
  return s;
}

const std::u16string* string_at(const std::vector<Cvd::Ref>& args, std::size_t i) {
  auto* s = i < args.size() ? dynamic_cast<Cvd::StrVal*>(args[i].get()) : nullptr;
  if (s == nullptr) Kex::Throw("must be string", static_cast<std::uint32_t>(i + 1));
  return &s->m_str;
}

}  // namespace

Cvd::Ref read_file(const char* cwd, const std::vector<Cvd::Ref>& args) {
  // The entry method has checked the count (2 to 6) and the two strings.
  const std::u16string& name = *string_at(args, 0);
  const std::u16string type = lower(*string_at(args, 1));
  const std::size_t count = args.size();
  std::size_t offset = 0;
  Cvd::Ref schema;
  if (type == u"fixed") {
    if (count > 2) schema = args[2];
    offset = 1;
  } else if (count > 5) {
    Kex::Throw(("too_many_arguments\t5\t" + std::to_string(count)).c_str(), Kex::kWholeCall);
  }
  // The optional arguments after the schema, and their positions.
  const std::size_t r = count - offset;
  auto optional = [&](std::size_t k) { return r > k ? args[offset + k] : Cvd::Ref(); };
  auto position = [&](std::size_t k) {
    return r > k ? static_cast<std::uint32_t>(offset + k + 1) : 0u;
  };
  std::string f = Kex::path_text(name);
  std::string t = Vrt::StringToRawBytes(type);
  return import(cwd, f.c_str(), t.c_str(), schema, optional(2), optional(3), optional(4),
                position(2), position(3), position(4));
}

}  // namespace kexio
