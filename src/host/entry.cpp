// The entry class: for every function of the table, the type checks of its
// form in order, the string conversions, the call context, the worker call
// and the marshalling of its result, all inside the one error boundary.
#include "kexio/io.h"

#include <new>
#include <string>

#include "host/workers.h"
#include "image/codec_errors.h"
#include "kexio/host/context.h"
#include "kexio/host/services.h"

namespace Kex {

namespace {

using Ref = Cvd::Ref;
using Str = std::u16string;
using Args = std::vector<Cvd::Ref>;

[[noreturn]] void raise(const char* message, std::uint32_t index) {
  Vrt::Run::AppException::Raise(Vrt::RawBytesToString(message), index);
}

Cvd::StrVal* as_string(const Ref& v) {
  return dynamic_cast<Cvd::StrVal*>(v.get());
}
Cvd::NumVal* as_number(const Ref& v) {
  return dynamic_cast<Cvd::NumVal*>(v.get());
}
Cvd::MatVal* as_matrix(const Ref& v) {
  return dynamic_cast<Cvd::MatVal*>(v.get());
}

// Checks a user's argument, the index-th, against what it must be.
void check(Arg kind, const Ref& v, std::uint32_t index) {
  Cvd::MatVal* m = as_matrix(v);
  switch (kind) {
    case Arg::string:
      if (as_string(v) == nullptr) raise("must be string", index);
      break;
    case Arg::scalar:
      if (as_number(v) == nullptr) raise("must be scalar", index);
      break;
    case Arg::matrix:
      if (m == nullptr) raise("must be matrix", index);
      break;
    case Arg::scalar_matrix:
      if (m == nullptr || m->m_parr != nullptr) raise("must be scalar matrix", index);
      break;
    case Arg::real_matrix:
      if (m == nullptr || !m->get_IsRealMatrix()) raise("must be real matrix", index);
      break;
    case Arg::value:
      if (as_number(v) == nullptr && m == nullptr) raise("must be a scalar or a matrix", index);
      break;
  }
}

// Checks the user's arguments, in the user's order, against the kinds of
// the form (kexio/calls.h).
template <Arg... Kinds, typename... Refs>
void check_args(const Refs&... v) {
  std::uint32_t index = 0;
  (check(Kinds, v, ++index), ...);
}

void check_count(const Args& args) {
  if (args.size() < 2) {
    raise(("too_few_arguments\t2\t" + std::to_string(args.size())).c_str(), kWholeCall);
  }
  if (args.size() > 6) {
    raise(("too_many_arguments\t6\t" + std::to_string(args.size())).c_str(), kWholeCall);
  }
}

// The record of a host matrix, its element pointers set for the worker.
const aMatrix* record(const Ref& v) {
  Cvd::MatVal* m = as_matrix(v);
  m->Data.m_rv = m->real();
  m->Data.m_iv = m->imag();
  return &m->Data;
}

const aComplex* number(const Ref& v) {
  return &as_number(v)->Data;
}

// A string argument as a byte string: each code unit cut to its low 8 bits.
std::string bytes(const Ref& v) {
  return Vrt::StringToRawBytes(as_string(v)->m_str);
}

// A string argument that names a file, or the worksheet directory, as path
// text: the UTF-8 form of its code units, so that any name can be opened.
// Names handed on to the host image library (READRAW, WRITERAW) stay byte
// strings.
std::string path(const Ref& v) {
  return path_text(as_string(v)->m_str);
}

// The worksheet directory and the file name as the worker takes them,
// converted in that order; they live as long as the worker call.
struct Names {
  std::string cwd, file;
};
Names paths(const Str& cwd, const Ref& file) {
  return {path_text(cwd), path(file)};
}
Names byte_names(const Str& cwd, const Ref& file) {
  return {Vrt::StringToRawBytes(cwd), bytes(file)};
}

// The plain wrapper around a worker call: opens the call context, lets call
// convert the strings (cwd first) and call the worker, so that the strings
// are destroyed, last converted first, as soon as it returns; then marshals
// the result and closes the context, also when an error unwinds.
template <typename Call>
Ref in_context(Call&& call) {
  KexCallContext ctx;
  auto* result = reinterpret_cast<Kex::Anyval*>(call(&ctx));
  return KexMarshal::UnMarshal(result);
}

// The error boundary around every call: the failures that are not yet
// messages become the documented ones here and nowhere else. A resolver
// failure reports its description at the function's resolve_at, an image
// code its message, memory exhaustion "out of memory"; Kex::Exception passes
// through untouched.
template <typename Call>
Ref boundary(std::uint32_t resolve_at, Call&& call) {
  try {
    return call();
  } catch (const ComError& e) {
    Throw(e.Description().c_str(), resolve_at);
  } catch (const kexio::CodecFailure& f) {
    Throw(kexio::decoder_error_message(f.code), f.index, f.detail);
  } catch (const std::bad_alloc&) {
    Throw("out of memory", kWholeCall);
  }
}

// One function per form: its checks, in order, and the call of its worker
// with the converted arguments in the worker's own order.

Ref prn_read(auto worker, const Str& cwd, const Ref& file_) {
  check_args<KEXIO_KINDS(prn_read)>(file_);
  Names n = paths(cwd, file_);
  return worker(n.file.c_str(), n.cwd.c_str());
}

Ref prn_write(auto worker, const Str& cwd, std::int32_t Pr_, std::int32_t W_, const Ref& file_,
              const Ref& V_) {
  check_args<KEXIO_KINDS(prn_write)>(file_, V_);
  if (as_matrix(V_) != nullptr) record(V_);
  Names n = paths(cwd, file_);
  return worker(n.file.c_str(), V_, Cvd::NumVal(Pr_), Cvd::NumVal(W_), n.cwd.c_str());
}

Ref prn_append(auto worker, const Str& cwd, std::int32_t Pr_, std::int32_t W_, const Ref& file_,
               const Ref& V_) {
  check_args<KEXIO_KINDS(prn_append)>(file_, V_);
  record(V_);
  Names n = paths(cwd, file_);
  return worker(n.file.c_str(), *as_matrix(V_), Cvd::NumVal(Pr_), Cvd::NumVal(W_), n.cwd.c_str());
}

Ref file(auto worker, const Str& cwd, const Ref& file_) {
  check_args<KEXIO_KINDS(file)>(file_);
  return in_context([&](KexCallContext* ctx) {
    Names n = paths(cwd, file_);
    return worker(ctx, n.file.c_str(), n.cwd.c_str());
  });
}

Ref image_write(auto worker, const Str& cwd, const Ref& file_, const Ref& V1_) {
  check_args<KEXIO_KINDS(image_write)>(file_, V1_);
  return in_context([&](KexCallContext* ctx) {
    Names n = paths(cwd, file_);
    return worker(ctx, n.file.c_str(), record(V1_), n.cwd.c_str());
  });
}

Ref bin_read(auto worker, const Str& cwd, const Args& args) {
  check_count(args);
  check_args<KEXIO_KINDS(bin_read)>(args[0], args[1]);
  // Optional scalars are checked from the last one down, so the highest
  // wrong position is the one reported.
  for (std::size_t i = args.size(); i > 2; --i) {
    check(Arg::scalar, args[i - 1], static_cast<std::uint32_t>(i));
  }
  Ref endian = args.size() > 2 ? args[2] : std::make_shared<Cvd::NumVal>();
  Ref cols = args.size() > 3 ? args[3] : std::make_shared<Cvd::NumVal>(1.0);
  Ref skip = args.size() > 4 ? args[4] : std::make_shared<Cvd::NumVal>();
  Ref rows = args.size() > 5 ? args[5] : std::make_shared<Cvd::NumVal>();
  return in_context([&](KexCallContext* ctx) {
    Names n = paths(cwd, args[0]);
    return worker(ctx, n.file.c_str(), number(rows), number(cols), bytes(args[1]).c_str(),
                  number(endian), number(skip), n.cwd.c_str());
  });
}

Ref bin_write(auto worker, const Str& cwd, const Ref& file_, const Ref& S_, const Ref& X_,
              const Ref& V_) {
  check_args<KEXIO_KINDS(bin_write)>(file_, S_, X_, V_);
  return in_context([&](KexCallContext* ctx) {
    Names n = paths(cwd, file_);
    return worker(ctx, record(V_), n.file.c_str(), bytes(S_).c_str(), number(X_), n.cwd.c_str());
  });
}

// The host image library takes the name and the directory as byte strings.
Ref raw_read(auto worker, const Str& cwd, const Ref& file_, const Ref& X_, const Ref& Y_,
             const Ref& Z_, const Ref& S_, const Ref& K_) {
  check_args<KEXIO_KINDS(raw_read)>(file_, X_, Y_, Z_, S_, K_);
  return in_context([&](KexCallContext* ctx) {
    Names n = byte_names(cwd, file_);
    return worker(ctx, n.file.c_str(), number(X_), number(Y_), number(Z_), bytes(S_).c_str(),
                  number(K_), n.cwd.c_str());
  });
}

// The value comes first but is the user's fourth argument; names as for
// raw_read.
Ref raw_write(auto worker, const Str& cwd, const Ref& V_, const Ref& file_, const Ref& X_,
              const Ref& S_) {
  check_args<KEXIO_KINDS(raw_write)>(file_, X_, S_, V_);
  return in_context([&](KexCallContext* ctx) {
    Names n = byte_names(cwd, file_);
    return worker(ctx, record(V_), n.file.c_str(), number(X_), bytes(S_).c_str(), n.cwd.c_str());
  });
}

Ref wav_write(auto worker, const Str& cwd, const Ref& file_, const Ref& SR_, const Ref& Res_,
              const Ref& V_) {
  check_args<KEXIO_KINDS(wav_write)>(file_, SR_, Res_, V_);
  return in_context([&](KexCallContext* ctx) {
    Names n = paths(cwd, file_);
    return worker(ctx, n.file.c_str(), record(V_), number(SR_), number(Res_), n.cwd.c_str());
  });
}

Ref name(auto worker, const Ref& file_) {
  check_args<KEXIO_KINDS(name)>(file_);
  return in_context([&](KexCallContext* ctx) {
    std::string f = path(file_);
    return worker(ctx, f.c_str());
  });
}

Ref name_matrix(auto worker, const Ref& file_, const Ref& V_) {
  check_args<KEXIO_KINDS(name_matrix)>(file_, V_);
  return in_context([&](KexCallContext* ctx) {
    std::string f = path(file_);
    return worker(ctx, f.c_str(), record(V_));
  });
}

// The worker turns the file name into path text itself.
Ref import_list(auto worker, const Str& cwd, const Args& args) {
  check_count(args);
  check_args<KEXIO_KINDS(import_list)>(args[0], args[1]);
  std::string c = path_text(cwd);
  return worker(c.c_str(), args);
}

}  // namespace

#define KEXIO_METHOD(name, form, worker, result, resolve_at, ...)                        \
  Ref IO::name(KEXIO_PARAMS(form)) {                                                     \
    return boundary(resolve_at, [&] { return form(&kexio::worker, KEXIO_ARGS(form)); }); \
  }
KEXIO_FUNCTIONS(KEXIO_METHOD)
#undef KEXIO_METHOD

}  // namespace Kex
