// The extension kexio._kexio under the package kexio: every worksheet function
// of the library, called by its place in the table, taking and returning
// numpy arrays, numbers and strings. The package makes a plain Python function
// of each (with its signature and documentation) and turns failures into its
// exception classes.
//
// The table is the library's call table (kexio/functions.h), in the order of
// the worksheet language's list of functions, so a new worksheet function
// appears here without a change. Arguments are turned into
// host values while the interpreter lock is held; the call itself runs without it, so threads read
// files in parallel. Real results are handed to numpy without a copy: the array keeps the host
// value's element storage alive.
#include <pybind11/eval.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cctype>
#include <complex>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "functions.h"
#include "io/fd.h"
#include "kexio/arrays.h"
#include "kexio/functions.h"
#include "kexio/host/errors.h"
#include "kexio/runtime/cvd.h"
#include "text.h"
#include "values.h"
#include "worksheet.h"

namespace py = pybind11;

namespace {

using kexio::app::Function;

// Matrices may be nested this deep in an argument, as in a PRN file.
constexpr int kMaxNesting = 1000;

// ---------------------------------------------------------------------------
// The functions as Python sees them.

struct Param {
  std::string name;  // the Python name
  int group;         // 0: required; otherwise the optional group it is in
  int depth;         // position inside a nested optional group (0: outermost)
};

struct Entry {
  std::string py_name;
  const Function* function = nullptr;
  std::vector<Param> params;
  bool prn_settings = false;  // takes precision= and width=
  std::string returns;        // the Python type of the result
};

// The Python name of a worksheet name: lower case, a word break after the
// leading verb and between camel-case words (READPRN -> read_prn, READ_HLS_HUE
// -> read_hls_hue, LoadColormap -> load_colormap).
std::string snake_case(std::string_view name) {
  static const struct {
    const char* name;
    const char* py_name;
  } kIrregular[] = {{"GETWAVINFO", "get_wav_info"}, {"csketchfile_cvs", "read_sketch"}};
  for (const auto& i : kIrregular) {
    if (name == i.name) return i.py_name;
  }
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (i > 0 && std::isupper(static_cast<unsigned char>(c)) &&
        std::islower(static_cast<unsigned char>(name[i - 1])))
      out.push_back('_');
    out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  for (const char* verb : {"read", "write", "append", "get", "load", "save"}) {
    std::size_t n = std::strlen(verb);
    if (out.size() > n && out.compare(0, n, verb) == 0 && out[n] != '_') {
      out.insert(n, "_");
      break;
    }
  }
  return out;
}

// The parameters of "file, type [, endian [, cols]] [, schema]": brackets
// open optional groups; a nested bracket needs the one around it. "file"
// becomes "path", single capitals become lower case.
std::vector<Param> parse_params(std::string_view text) {
  std::vector<Param> out;
  int depth = 0, group = 0, groups = 0;
  std::string word;
  auto flush = [&] {
    if (word.empty()) return;
    std::string name = word == "file" ? "path" : word;
    for (char& c : name)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    out.push_back({name, depth == 0 ? 0 : group, depth == 0 ? 0 : depth - 1});
    word.clear();
  };
  for (char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_') {
      word.push_back(c);
      continue;
    }
    flush();
    if (c == '[') {
      if (depth++ == 0) group = ++groups;
    } else if (c == ']') {
      --depth;
    }
  }
  flush();
  return out;
}

// What each result kind of the table gives in Python.
const char* python_type(Kex::ResultKind result) {
  switch (result) {
    case Kex::ResultKind::number:
      return "float | complex";
    case Kex::ResultKind::value:
      return "numpy.ndarray | float | complex | str";
    case Kex::ResultKind::vector:
    case Kex::ResultKind::matrix:
      break;
  }
  return "numpy.ndarray";
}

// The library's functions of the language's list, each further name under
// its own Python name.
const std::vector<Entry>& entries() {
  static const std::vector<Entry> table = [] {
    std::vector<Entry> out;
    for (const Function& f : kexio::app::functions()) {
      // Functions of the language alone (VIEW) are not the library's.
      if (f.info == nullptr) continue;
      Entry e;
      e.py_name = snake_case(f.name);
      bool taken = false;
      for (const Entry& o : out)
        taken = taken || o.py_name == e.py_name;
      // READRAW's writing form is write_raw, under its alias.
      if (taken) continue;
      e.function = &f;
      e.params = parse_params(f.params);
      e.prn_settings = f.info->prn_settings;
      e.returns = python_type(f.info->result);
      out.push_back(std::move(e));
    }
    return out;
  }();
  return table;
}

// ---------------------------------------------------------------------------
// Python values to host values.

struct Numpy {
  py::object asarray, array, copyto, object_dtype;
};

const Numpy& numpy() {
  // Kept for the life of the process: the interpreter may be finalising when
  // static destructors run.
  static const Numpy* np = [] {
    py::module_ m = py::module_::import("numpy");
    return new Numpy{m.attr("asarray"), m.attr("array"), m.attr("copyto"),
                     py::dtype("O").cast<py::object>()};
  }();
  return *np;
}

std::u16string utf16(py::handle s) {
  py::object bytes = py::reinterpret_steal<py::object>(
      PyUnicode_AsEncodedString(s.ptr(), "utf-16-le", "surrogatepass"));
  if (!bytes) throw py::error_already_set();
  char* data = nullptr;
  Py_ssize_t n = 0;
  PyBytes_AsStringAndSize(bytes.ptr(), &data, &n);
  std::u16string out(static_cast<std::size_t>(n) / 2, u'\0');
  std::memcpy(out.data(), data, out.size() * 2);
  return out;
}

py::object from_utf16(const std::u16string& s) {
  int order = -1;  // little-endian
  PyObject* o =
      PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(s.data()),
                            static_cast<Py_ssize_t>(s.size() * 2), "surrogatepass", &order);
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

// A view over n doubles that numpy may write into, shaped rows x cols in
// column-major order; the storage stays ours.
py::array column_major_view(double* data, std::uint32_t rows, std::uint32_t cols) {
  std::vector<py::ssize_t> shape{rows, cols};
  std::vector<py::ssize_t> strides{8, static_cast<py::ssize_t>(rows) * 8};
  return py::array(py::dtype::of<double>(), shape, strides, data, py::none());
}

Cvd::Ref to_value(py::handle h, int depth);

// A numeric numpy array of 0, 1 or 2 dimensions: a number, a column or a
// matrix. numpy converts every dtype and layout while copying.
Cvd::Ref numeric_array(const py::array& a) {
  bool complex = a.dtype().kind() == 'c';
  if (a.ndim() == 0) {
    if (complex) {
      std::complex<double> z = py::cast<std::complex<double>>(a.attr("item")());
      return std::make_shared<Cvd::NumVal>(z.real(), z.imag());
    }
    return std::make_shared<Cvd::NumVal>(py::cast<double>(py::float_(a.attr("item")())));
  }
  if (a.ndim() > 2) {
    throw py::type_error("kexio takes matrices of at most 2 dimensions, not " +
                         std::to_string(a.ndim()));
  }
  std::size_t rows = static_cast<std::size_t>(a.shape(0));
  std::size_t cols = a.ndim() == 2 ? static_cast<std::size_t>(a.shape(1)) : 1;
  constexpr std::size_t kMax = std::numeric_limits<std::uint32_t>::max();
  if (rows > kMax || cols > kMax) throw py::value_error("matrix too large for kexio");
  auto r = static_cast<std::uint32_t>(rows), c = static_cast<std::uint32_t>(cols);
  py::object src = a.ndim() == 2 ? py::object(a) : py::object(a.attr("reshape")(rows, 1));
  const Numpy& np = numpy();
  Cvd::Array re = Cvd::NewArray(rows * cols);
  Cvd::Array im;
  np.copyto(column_major_view(re.get(), r, c), complex ? src.attr("real") : src,
            py::arg("casting") = "unsafe");
  if (complex) {
    im = Cvd::NewArray(rows * cols);
    np.copyto(column_major_view(im.get(), r, c), src.attr("imag"));
    // As in a worksheet, a matrix whose imaginary parts are all 0 is real.
    bool any = false;
    for (std::size_t i = 0; i < rows * cols && !any; ++i)
      any = im[i] != 0.0;
    if (!any) im = nullptr;
  }
  return std::make_shared<Cvd::MatVal>(re, im, r, c, r, nullptr);
}

// A matrix of any elements: numbers, texts and nested matrices.
Cvd::Ref object_array(const py::array& a, int depth) {
  if (a.ndim() == 0) return to_value(a.attr("item")(), depth);
  if (a.ndim() > 2) {
    throw py::type_error("kexio takes matrices of at most 2 dimensions, not " +
                         std::to_string(a.ndim()));
  }
  std::size_t rows = static_cast<std::size_t>(a.shape(0));
  std::size_t cols = a.ndim() == 2 ? static_cast<std::size_t>(a.shape(1)) : 1;
  py::object flat = (a.ndim() == 2 ? py::object(a) : a.attr("reshape")(rows, 1))
                        .attr("astype")(numpy().object_dtype)
                        .attr("ravel")("C")
                        .attr("tolist")();
  std::vector<Cvd::Ref> elements;
  elements.reserve(rows * cols);
  for (py::handle e : flat)
    elements.push_back(to_value(e, depth + 1));
  return kexio::app::build_matrix(rows, cols, elements);
}

Cvd::Ref to_value(py::handle h, int depth) {
  if (depth > kMaxNesting) throw py::value_error("matrices nested too deep for kexio");
  if (PyUnicode_Check(h.ptr())) return std::make_shared<Cvd::StrVal>(utf16(h));
  if (PyFloat_Check(h.ptr()) || PyLong_Check(h.ptr())) {
    double d = PyFloat_AsDouble(h.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return std::make_shared<Cvd::NumVal>(d);
  }
  if (PyComplex_Check(h.ptr())) {
    Py_complex z = PyComplex_AsCComplex(h.ptr());
    return std::make_shared<Cvd::NumVal>(z.real, z.imag);
  }
  if (PyBytes_Check(h.ptr()) || PyObject_HasAttrString(h.ptr(), "__fspath__")) {
    py::object os = py::module_::import("os");
    return std::make_shared<Cvd::StrVal>(utf16(os.attr("fsdecode")(h)));
  }
  if (h.is_none()) throw py::type_error("kexio cannot take None as a value");
  const Numpy& np = numpy();
  py::array a;
  if (py::isinstance<py::array>(h)) {
    a = py::reinterpret_borrow<py::array>(h);
  } else if (PyList_Check(h.ptr()) || PyTuple_Check(h.ptr())) {
    // A list of numbers is a numeric matrix; one with texts or nested lists
    // of other shapes keeps its elements as they are.
    try {
      a = np.asarray(h);
    } catch (const py::error_already_set&) {
      a = np.array(h, py::arg("dtype") = np.object_dtype);
    }
    if (std::strchr("biufc", a.dtype().kind()) == nullptr)
      a = np.array(h, py::arg("dtype") = np.object_dtype);
  } else {
    a = np.asarray(h);
  }
  char kind = a.dtype().kind();
  if (std::strchr("biufc", kind) != nullptr) return numeric_array(a);
  if (kind == 'O' || kind == 'U' || kind == 'S') return object_array(a, depth);
  throw py::type_error("kexio cannot take a value of type " +
                       py::str(py::type::handle_of(h).attr("__name__")).cast<std::string>());
}

// ---------------------------------------------------------------------------
// Host values to Python values.

py::object number(double re, double im) {
  if (im == 0.0) return py::float_(re);
  return py::reinterpret_steal<py::object>(PyComplex_FromDoubles(re, im));
}

py::object from_value(const Cvd::Ref& v);

py::object from_matrix(const std::shared_ptr<Cvd::MatVal>& m) {
  std::uint32_t rows = m->get_Rows(), cols = m->get_Cols();
  std::size_t n = m->size();
  std::vector<py::ssize_t> shape{rows, cols};
  if (kexio::app::has_nested(*m)) {
    py::array out(numpy().object_dtype, shape);
    for (std::uint32_t r = 0; r < rows; ++r) {
      for (std::uint32_t c = 0; c < cols; ++c) {
        std::size_t i = static_cast<std::size_t>(c) * rows + r;
        auto it = m->m_parr->find(static_cast<std::int32_t>(i));
        py::object e = it != m->m_parr->end()
                           ? from_value(it->second)
                           : number(m->real()[i], m->get_HasImag() ? m->imag()[i] : 0.0);
        out[py::make_tuple(r, c)] = e;
      }
    }
    return out;
  }
  if (m->get_HasImag()) {
    std::vector<py::ssize_t> strides{16, static_cast<py::ssize_t>(rows) * 16};
    py::array_t<std::complex<double>> out(shape, strides);
    auto* z = static_cast<std::complex<double>*>(out.mutable_data());
    const double* re = m->real();
    const double* im = m->imag();
    for (std::size_t i = 0; i < n; ++i)
      z[i] = {re[i], im[i]};
    return out;
  }
  // The array owns a reference to the host value's storage. Someone else
  // holding the storage too (a value passed in and given back) makes the
  // array read-only, so that writing to it cannot change the other holder.
  auto* owner = new Cvd::Array(m->m_rarr);
  double* data = m->real();
  py::capsule base(owner, [](void* p) { delete static_cast<Cvd::Array*>(p); });
  std::vector<py::ssize_t> strides{8, static_cast<py::ssize_t>(rows) * 8};
  py::array out(py::dtype::of<double>(), shape, strides, data, base);
  if (owner->use_count() > 2) out.attr("setflags")(py::arg("write") = false);
  return out;
}

py::object from_value(const Cvd::Ref& v) {
  if (auto* num = kexio::app::as_number(v)) return number(num->Data.rp, num->Data.ip);
  if (auto* s = kexio::app::as_string(v)) return from_utf16(s->m_str);
  if (auto m = std::dynamic_pointer_cast<Cvd::MatVal>(v)) return from_matrix(m);
  return py::none();
}

// ---------------------------------------------------------------------------
// Errors and calls.

// kexio._make_error(message, argument, function, where, detail, hint, errno,
// filename): the package's factory of exception instances, set once at import.
PyObject* g_make_error = nullptr;

py::object text_or_none(const std::string& s) {
  return s.empty() ? py::object(py::none()) : py::object(py::str(s));
}

// How to put a usual slip right, as the worksheet host says it.
std::string hint_for(const std::string& message, std::uint32_t index, const std::string& name,
                     const std::vector<Param>* params) {
  if (message.rfind("too_few_arguments\t", 0) == 0 ||
      message.rfind("too_many_arguments\t", 0) == 0) {
    return "call it as " + kexio::app::usage(name);
  }
  if (message == "unrecognized value" && params != nullptr && index >= 1 &&
      index <= params->size() && (*params)[index - 1].name == "type") {
    return "the type is one of " KEXIO_BINARY_TYPES;
  }
  return {};
}

// Raises the package's exception for a failure of function (its Python
// name). The errno the detail was made from makes it an OSError as well,
// with file (the path argument as given, or null) as its filename.
[[noreturn]] void raise_error(const std::string& function, const std::string& message,
                              std::uint32_t index, const std::vector<Param>* params,
                              const std::string& detail, const std::string& hint, py::handle file) {
  py::str text = py::reinterpret_steal<py::str>(
      PyUnicode_DecodeLatin1(message.data(), static_cast<Py_ssize_t>(message.size()), nullptr));
  py::object argument = py::none();
  std::string where = "the call as a whole";
  if (index != Kex::kWholeCall) {
    argument = py::int_(index);
    where = "argument " + std::to_string(index);
    if (params != nullptr && index >= 1 && index <= params->size())
      where += ", " + (*params)[index - 1].name;
  }
  const int err = kexio::io::errno_of_detail(detail);
  py::object filename = py::none();
  if (err != 0 && file) filename = py::module_::import("os").attr("fsdecode")(file);
  py::object error = py::handle(g_make_error)(
      text, argument, function, where, text_or_none(detail), text_or_none(hint),
      err != 0 ? py::object(py::int_(err)) : py::object(py::none()), filename);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

// The argument that names the file, when there is one.
py::handle path_argument(py::handle first) {
  if (first && (PyUnicode_Check(first.ptr()) || PyBytes_Check(first.ptr()) ||
                PyObject_HasAttrString(first.ptr(), "__fspath__"))) {
    return first;
  }
  return py::handle();
}

int setting(py::handle h, const char* name) {
  if (!PyLong_Check(h.ptr())) throw py::type_error(std::string(name) + " must be an int");
  long long v = PyLong_AsLongLong(h.ptr());
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    v = std::numeric_limits<long long>::max();
  }
  // Out-of-range settings reach the library's own range check.
  if (v < std::numeric_limits<std::int32_t>::min()) return std::numeric_limits<std::int32_t>::min();
  if (v > std::numeric_limits<std::int32_t>::max()) return std::numeric_limits<std::int32_t>::max();
  return static_cast<int>(v);
}

py::object invoke(const Function& f, const std::string& py_name, kexio::app::Args args,
                  kexio::app::CallEnv env, const std::vector<Param>* params, py::handle file) {
  Cvd::Ref result;
  std::string message;
  std::string detail;
  std::uint32_t index = Kex::kWholeCall;
  bool failed = false;
  {
    py::gil_scoped_release unlocked;
    try {
      result = f.invoke(env, args);
      if (!result) {
        failed = true;
        message = "no result";
      }
    } catch (const Kex::Exception& e) {
      failed = true;
      message = e.message();
      index = e.index();
      detail = e.detail();
    } catch (const std::bad_alloc&) {
      failed = true;
      message = "out of memory";
    } catch (const std::exception& e) {
      failed = true;
      message = e.what();
    }
    args.clear();
  }
  if (failed) {
    raise_error(py_name, message, index, params, detail, hint_for(message, index, f.name, params),
                path_argument(file));
  }
  return from_value(result);
}

py::object call_entry(const Entry& e, py::args args, py::kwargs kwargs) {
  std::size_t n = e.params.size();
  if (args.size() > n) {
    throw py::type_error(e.py_name + "() takes at most " + std::to_string(n) + " arguments (" +
                         std::to_string(args.size()) + " given)");
  }
  std::vector<py::handle> given(n);
  for (std::size_t i = 0; i < args.size(); ++i)
    given[i] = args[i];
  kexio::app::CallEnv env;
  for (auto [key, value] : kwargs) {
    std::string k = py::str(key);
    std::size_t i = 0;
    while (i < n && e.params[i].name != k)
      ++i;
    if (i < n) {
      if (given[i]) throw py::type_error(e.py_name + "() got multiple values for " + k);
      given[i] = value;
    } else if (e.prn_settings && k == "precision") {
      env.prn_precision = setting(value, "precision");
    } else if (e.prn_settings && k == "width") {
      env.prn_colwidth = setting(value, "width");
    } else {
      throw py::type_error(e.py_name + "() got an unexpected keyword argument '" + k + "'");
    }
  }
  kexio::app::Args values;
  for (std::size_t i = 0; i < n; ++i) {
    const Param& p = e.params[i];
    bool absent = !given[i] || given[i].is_none();
    if (absent) {
      if (p.group == 0) throw py::type_error(e.py_name + "() missing argument '" + p.name + "'");
      // An inner optional argument needs the ones around it.
      for (std::size_t j = i + 1; j < n; ++j) {
        if (e.params[j].group == p.group && given[j] && !given[j].is_none()) {
          throw py::type_error(e.py_name + "() needs " + p.name + " when " + e.params[j].name +
                               " is given");
        }
      }
      continue;
    }
    values.push_back(to_value(given[i], 0));
  }
  return invoke(*e.function, e.py_name, std::move(values), std::move(env), &e.params,
                n > 0 ? given[0] : py::handle());
}

py::object call_by_name(const std::string& name, py::args args, py::kwargs kwargs) {
  kexio::app::CallEnv env;
  for (auto [key, value] : kwargs) {
    std::string k = py::str(key);
    if (k == "precision") {
      env.prn_precision = setting(value, "precision");
    } else if (k == "width") {
      env.prn_colwidth = setting(value, "width");
    } else {
      throw py::type_error("call() got an unexpected keyword argument '" + k + "'");
    }
  }
  const Function* f = kexio::app::find_function(name, args.size());
  if (f == nullptr) {
    if (!kexio::app::is_function(name)) {
      std::string similar = kexio::app::similar_function(name);
      raise_error(name,
                  "unknown function '" + name + "'" +
                      (similar.empty() ? "" : "; did you mean " + similar + "?"),
                  Kex::kWholeCall, nullptr, {},
                  similar.empty() ? "" : "did you mean " + similar + "?", py::handle());
    }
    raise_error(name,
                name + " takes other arguments than " + std::to_string(args.size()) + ": " +
                    kexio::app::usage(name),
                Kex::kWholeCall, nullptr, {}, "call it as " + kexio::app::usage(name),
                py::handle());
  }
  kexio::app::Args values;
  values.reserve(args.size());
  for (py::handle a : args)
    values.push_back(to_value(a, 0));
  return invoke(*f, name, std::move(values), std::move(env), nullptr,
                args.size() > 0 ? args[0] : py::handle());
}

// ---------------------------------------------------------------------------
// Typed arrays: pictures and recordings in numpy's own terms.

const char* numpy_name(Kex::Dtype t) {
  return t == Kex::Dtype::boolean ? "bool" : Kex::dtype_name(t);
}

// An array of the library's handed to numpy without a copy: the array keeps
// the library's memory alive.
py::array to_numpy(const Kex::Array& a) {
  auto* owner = new std::shared_ptr<void>(a.data);
  py::capsule base(owner, [](void* p) { delete static_cast<std::shared_ptr<void>*>(p); });
  std::vector<py::ssize_t> shape(a.shape.begin(), a.shape.end());
  return py::array(py::dtype(numpy_name(a.dtype)), shape, {}, a.data.get(), base);
}

// The library's name of a numpy type; other_type for one it has no use for.
Kex::Dtype dtype_of(const py::dtype& d) {
  using Kex::Dtype;
  const char kind = d.kind();
  const auto size = d.itemsize();
  if (kind == 'b') return Dtype::boolean;
  if (kind == 'u')
    return size == 1   ? Dtype::uint8
           : size == 2 ? Dtype::uint16
           : size == 4 ? Dtype::uint32
                       : Dtype::other_type;
  if (kind == 'i')
    return size == 1   ? Dtype::int8
           : size == 2 ? Dtype::int16
           : size == 4 ? Dtype::int32
           : size == 8 ? Dtype::int64
                       : Dtype::other_type;
  if (kind == 'f')
    return size == 4 ? Dtype::float32 : size == 8 ? Dtype::float64 : Dtype::other_type;
  return Dtype::other_type;
}

// A view of a C-contiguous array in the host's byte order (the package
// makes it so).
Kex::ArrayView view_of(const py::array& a) {
  Kex::ArrayView v;
  v.dtype = dtype_of(a.dtype());
  v.type_name = py::str(a.dtype());
  for (py::ssize_t i = 0; i < a.ndim(); ++i)
    v.shape.push_back(a.shape(i));
  v.data = a.data();
  return v;
}

std::string path_bytes(py::handle path) {
  return py::bytes(py::module_::import("os").attr("fsencode")(path));
}

// Runs a typed-array function without the interpreter lock and turns its
// failures into the package's exceptions, those of the array handed in into
// TypeError and ValueError.
template <typename Call>
auto typed(const char* function, const std::vector<Param>& params, py::handle path, Call&& call) {
  std::string message, detail;
  std::uint32_t index = Kex::kWholeCall;
  int array_error = -1;
  {
    py::gil_scoped_release unlocked;
    try {
      return call();
    } catch (const Kex::Exception& e) {
      message = e.message();
      index = e.index();
      detail = e.detail();
    } catch (const Kex::ArrayError& e) {
      message = e.what();
      array_error = e.kind();
    } catch (const std::bad_alloc&) {
      message = "out of memory";
    } catch (const std::exception& e) {
      message = e.what();
    }
  }
  if (array_error == Kex::ArrayError::kType) throw py::type_error(message);
  if (array_error == Kex::ArrayError::kValue) throw py::value_error(message);
  raise_error(function, message, index, &params, detail, {}, path_argument(path));
}

const std::vector<Param> kPathParam = {{"path", 0, 0}};
const std::vector<Param> kWriteParams = {{"path", 0, 0}, {"rate", 0, 0}, {"data", 0, 0}};
const std::vector<Param> kImageParams = {{"path", 0, 0}, {"array", 0, 0}};

py::array imread(py::handle path, int mode) {
  const std::string name = path_bytes(path);
  const auto m = static_cast<Kex::ImageMode>(mode);
  return to_numpy(typed("imread", kPathParam, path, [&] { return Kex::read_image(name, m); }));
}

void imwrite(py::handle path, const py::array& image) {
  const std::string name = path_bytes(path);
  const Kex::ArrayView v = view_of(image);
  typed("imwrite", kImageParams, path, [&] {
    Kex::write_image(name, v);
    return 0;
  });
}

py::tuple wav_info_tuple(const Kex::WavInfo& i) {
  return py::make_tuple(i.channels, i.rate, i.bits, i.byte_rate, i.frames, i.format);
}

py::tuple wavread(py::handle path) {
  const std::string name = path_bytes(path);
  Kex::WavInfo info;
  Kex::Array a = typed("wavread", kPathParam, path, [&] { return Kex::read_wav(name, &info); });
  return py::make_tuple(info.rate, to_numpy(a));
}

py::tuple wavinfo(py::handle path) {
  const std::string name = path_bytes(path);
  return wav_info_tuple(typed("wavinfo", kPathParam, path, [&] { return Kex::wav_info(name); }));
}

void wavwrite(py::handle path, std::uint32_t rate, const py::array& data) {
  const std::string name = path_bytes(path);
  const Kex::ArrayView v = view_of(data);
  typed("wavwrite", kWriteParams, path, [&] {
    Kex::write_wav(name, rate, v);
    return 0;
  });
}

}  // namespace

pybind11::object kexio_python_value(const Cvd::Ref& v) {
  return from_value(v);
}

PYBIND11_MODULE(_kexio, m) {
  py::options options;
  options.disable_function_signatures();
  m.doc() = "The library's functions as the package kexio calls them.";
  m.attr("__version__") = KEXIO_VERSION;

  m.def("_set_error_factory", [](py::object f) {
    Py_XDECREF(g_make_error);
    g_make_error = f.release().ptr();  // kept for the life of the process
  });

  py::list table;
  for (const Entry& e : entries()) {
    py::list params;
    for (const Param& p : e.params)
      params.append(py::make_tuple(p.name, p.group != 0));
    if (e.prn_settings) {
      params.append(py::make_tuple("precision", true));
      params.append(py::make_tuple("width", true));
    }
    table.append(py::make_tuple(e.function->name, e.py_name, py::tuple(params), e.function->summary,
                                e.function->family, e.returns, e.function->params));
  }
  // (worksheet name, Python name, ((parameter, optional), ...), summary,
  // family, Python result type, worksheet parameters) for every function, in
  // the table's order.
  m.attr("functions") = py::tuple(table);

  // The function at place i of the table, with its arguments in order (None
  // for one left out) and precision= and width= for the PRN writers.
  m.def("_call", [](std::size_t i, py::args args, py::kwargs kwargs) {
    if (i >= entries().size()) throw py::index_error("no such function");
    return call_entry(entries()[i], args, kwargs);
  });
  m.def("_imread", &imread);
  m.def("_imwrite", &imwrite);
  m.def("_wavread", &wavread);
  m.def("_wavinfo", &wavinfo);
  m.def("_wavwrite", &wavwrite);
  m.def("call", &call_by_name,
        "call(name, *args, precision=4, width=8)\n--\n\n"
        "Call a worksheet function by its worksheet name with its worksheet arguments, e.g. "
        "call(\"READBIN\", \"data.bin\", \"int16\", 0, 3). precision and width are "
        "PRNPRECISION and PRNCOLWIDTH for WRITEPRN and APPENDPRN.");

  add_worksheet(m);
}
