// The entry class: type checks in order, string conversion, the call context,
// the worker call and the marshalling of its result.
#include "kexio/io.h"

#include <string>

#include "host/workers.h"
#include "kexio/host/context.h"

namespace Kex {

namespace {

using Ref = Cvd::Ref;
using Str = std::u16string;

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

void check_string(const Ref& v, std::uint32_t index) {
  if (as_string(v) == nullptr) raise("must be string", index);
}
void check_scalar(const Ref& v, std::uint32_t index) {
  if (as_number(v) == nullptr) raise("must be scalar", index);
}
void check_matrix(const Ref& v, std::uint32_t index) {
  if (as_matrix(v) == nullptr) raise("must be matrix", index);
}
void check_scalar_matrix(const Ref& v, std::uint32_t index) {
  Cvd::MatVal* m = as_matrix(v);
  if (m == nullptr || m->m_parr != nullptr) raise("must be scalar matrix", index);
}
void check_real_matrix(const Ref& v, std::uint32_t index) {
  Cvd::MatVal* m = as_matrix(v);
  if (m == nullptr || !m->get_IsRealMatrix()) raise("must be real matrix", index);
}

void check_count(const IO::Args& args) {
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

std::string bytes(const Ref& v) {
  return Vrt::StringToRawBytes(as_string(v)->m_str);
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

using Reader = aMatrix* (*)(KexCallContext*, const char*, const char*);
using Writer = aComplex* (*)(KexCallContext*, const char*, const aMatrix*, const char*);

Ref read_image(const Str& cwd, const Ref& file_, Reader worker) {
  check_string(file_, 1);
  return in_context([&](KexCallContext* ctx) {
    std::string c = Vrt::StringToRawBytes(cwd);
    std::string f = bytes(file_);
    return worker(ctx, f.c_str(), c.c_str());
  });
}

Ref write_image(const Str& cwd, const Ref& file_, const Ref& V1_, Writer worker) {
  check_string(file_, 1);
  check_scalar_matrix(V1_, 2);
  const aMatrix* m = record(V1_);
  return in_context([&](KexCallContext* ctx) {
    std::string c = Vrt::StringToRawBytes(cwd);
    std::string f = bytes(file_);
    return worker(ctx, f.c_str(), m, c.c_str());
  });
}

}  // namespace

Ref IO::READPRN(const Str& cwd, const Ref& file_) {
  check_string(file_, 1);
  std::string c = Vrt::StringToRawBytes(cwd);
  std::string f = bytes(file_);
  return kexio::READPRN(f.c_str(), c.c_str());
}

Ref IO::WRITEPRN(const Str& cwd, std::int32_t Pr_, std::int32_t W_, const Ref& file_,
                 const Ref& V_) {
  check_string(file_, 1);
  if (as_number(V_) == nullptr && as_matrix(V_) == nullptr) {
    Throw("must be a scalar or a matrix", 2);
  }
  if (as_matrix(V_) != nullptr) record(V_);
  std::string c = Vrt::StringToRawBytes(cwd);
  std::string f = bytes(file_);
  return kexio::writePRN(f.c_str(), V_, Cvd::NumVal(Pr_), Cvd::NumVal(W_), c.c_str());
}

Ref IO::APPENDPRN(const Str& cwd, std::int32_t Pr_, std::int32_t W_, const Ref& file_,
                  const Ref& V_) {
  check_string(file_, 1);
  check_matrix(V_, 2);
  record(V_);
  std::string c = Vrt::StringToRawBytes(cwd);
  std::string f = bytes(file_);
  return kexio::appendPRN(f.c_str(), *as_matrix(V_), Cvd::NumVal(Pr_), Cvd::NumVal(W_), c.c_str());
}

Ref IO::READ_IMAGE(const Str& cwd, const Ref& f) {
  return read_image(cwd, f, kexio::READ_IMAGE);
}
Ref IO::READBMP(const Str& cwd, const Ref& f) {
  return read_image(cwd, f, kexio::READ_IMAGE);
}
Ref IO::READRGB(const Str& cwd, const Ref& f) {
  return read_image(cwd, f, kexio::READRGB);
}
Ref IO::READ_RED(const Str& cwd, const Ref& f) {
  return read_image(cwd, f, kexio::READ_RED);
}
Ref IO::READ_GREEN(const Str& cwd, const Ref& f) {
  return read_image(cwd, f, kexio::READ_GREEN);
}
Ref IO::READ_BLUE(const Str& cwd, const Ref& f) {
  return read_image(cwd, f, kexio::READ_BLUE);
}
Ref IO::READ_HLS(const Str& cwd, const Ref& f) {
  return read_image(cwd, f, kexio::READ_HLS);
}
Ref IO::READ_HLS_HUE(const Str& cwd, const Ref& f) {
  return read_image(cwd, f, kexio::READ_HLS_HUE);
}
Ref IO::READ_HLS_LIGHT(const Str& cwd, const Ref& f) {
  return read_image(cwd, f, kexio::READ_HLS_LIGHT);
}
Ref IO::READ_HLS_SAT(const Str& cwd, const Ref& f) {
  return read_image(cwd, f, kexio::READ_HLS_SAT);
}
Ref IO::READ_HSV(const Str& cwd, const Ref& f) {
  return read_image(cwd, f, kexio::READ_HSV);
}
Ref IO::READ_HSV_HUE(const Str& cwd, const Ref& f) {
  return read_image(cwd, f, kexio::READ_HSV_HUE);
}
Ref IO::READ_HSV_SAT(const Str& cwd, const Ref& f) {
  return read_image(cwd, f, kexio::READ_HSV_SAT);
}
Ref IO::READ_HSV_VALUE(const Str& cwd, const Ref& f) {
  return read_image(cwd, f, kexio::READ_HSV_VALUE);
}

Ref IO::WRITEBMP(const Str& cwd, const Ref& f, const Ref& v) {
  return write_image(cwd, f, v, kexio::WRITEBMP);
}
Ref IO::WRITERGB(const Str& cwd, const Ref& f, const Ref& v) {
  return write_image(cwd, f, v, kexio::WRITERGB);
}
Ref IO::WRITE_HLS(const Str& cwd, const Ref& f, const Ref& v) {
  return write_image(cwd, f, v, kexio::WRITE_HLS);
}
Ref IO::WRITE_HSV(const Str& cwd, const Ref& f, const Ref& v) {
  return write_image(cwd, f, v, kexio::WRITE_HSV);
}

Ref IO::READBIN(const Str& cwd, const Args& args) {
  check_count(args);
  check_string(args[0], 1);
  check_string(args[1], 2);
  // Optional scalars are checked from the last one down, so the highest
  // wrong position is the one reported.
  for (std::size_t i = args.size(); i > 2; --i) {
    check_scalar(args[i - 1], static_cast<std::uint32_t>(i));
  }
  Ref endian = args.size() > 2 ? args[2] : std::make_shared<Cvd::NumVal>();
  Ref cols = args.size() > 3 ? args[3] : std::make_shared<Cvd::NumVal>(1.0);
  Ref skip = args.size() > 4 ? args[4] : std::make_shared<Cvd::NumVal>();
  Ref rows = args.size() > 5 ? args[5] : std::make_shared<Cvd::NumVal>();
  return in_context([&](KexCallContext* ctx) {
    std::string c = Vrt::StringToRawBytes(cwd);
    std::string f = bytes(args[0]);
    std::string type = bytes(args[1]);
    return kexio::readbin(ctx, f.c_str(), number(rows), number(cols), type.c_str(), number(endian),
                          number(skip), c.c_str());
  });
}

Ref IO::WRITEBIN(const Str& cwd, const Ref& file_, const Ref& S_, const Ref& X_, const Ref& V_) {
  check_string(file_, 1);
  check_string(S_, 2);
  check_scalar(X_, 3);
  check_scalar_matrix(V_, 4);
  const aMatrix* m = record(V_);
  return in_context([&](KexCallContext* ctx) {
    std::string c = Vrt::StringToRawBytes(cwd);
    std::string f = bytes(file_);
    std::string type = bytes(S_);
    return kexio::writebin(ctx, m, f.c_str(), type.c_str(), number(X_), c.c_str());
  });
}

Ref IO::READRAW(const Str& cwd, const Ref& file_, const Ref& X_, const Ref& Y_, const Ref& Z_,
                const Ref& S_, const Ref& K_) {
  check_string(file_, 1);
  check_scalar(X_, 2);
  check_scalar(Y_, 3);
  check_scalar(Z_, 4);
  check_string(S_, 5);
  check_scalar(K_, 6);
  return in_context([&](KexCallContext* ctx) {
    std::string c = Vrt::StringToRawBytes(cwd);
    std::string f = bytes(file_);
    std::string s = bytes(S_);
    return kexio::READRAW(ctx, f.c_str(), number(X_), number(Y_), number(Z_), s.c_str(), number(K_),
                          c.c_str());
  });
}

Ref IO::READRAW(const Str& cwd, const Ref& V_, const Ref& file_, const Ref& X_, const Ref& S_) {
  check_string(file_, 1);
  check_scalar(X_, 2);
  check_string(S_, 3);
  check_scalar_matrix(V_, 4);
  const aMatrix* m = record(V_);
  return in_context([&](KexCallContext* ctx) {
    std::string c = Vrt::StringToRawBytes(cwd);
    std::string f = bytes(file_);
    std::string s = bytes(S_);
    return kexio::WRITERAW(ctx, m, f.c_str(), number(X_), s.c_str(), c.c_str());
  });
}

Ref IO::GETWAVINFO(const Str& cwd, const Ref& file_) {
  check_string(file_, 1);
  return in_context([&](KexCallContext* ctx) {
    std::string c = Vrt::StringToRawBytes(cwd);
    std::string f = bytes(file_);
    return kexio::GETWAVINFO(ctx, f.c_str(), c.c_str());
  });
}

Ref IO::READWAV(const Str& cwd, const Ref& file_) {
  return read_image(cwd, file_, kexio::READWAV);
}

Ref IO::WRITEWAV(const Str& cwd, const Ref& file_, const Ref& SR_, const Ref& Res_, const Ref& V_) {
  check_string(file_, 1);
  check_scalar(SR_, 2);
  check_scalar(Res_, 3);
  check_scalar_matrix(V_, 4);
  const aMatrix* m = record(V_);
  return in_context([&](KexCallContext* ctx) {
    std::string c = Vrt::StringToRawBytes(cwd);
    std::string f = bytes(file_);
    return kexio::WRITEWAV(ctx, f.c_str(), m, number(SR_), number(Res_), c.c_str());
  });
}

Ref IO::LoadColormap(const Ref& file_) {
  check_string(file_, 1);
  return in_context([&](KexCallContext* ctx) {
    std::string f = bytes(file_);
    return kexio::ReadColormap(ctx, f.c_str());
  });
}

Ref IO::SaveColormap(const Ref& file_, const Ref& V_) {
  check_string(file_, 1);
  check_real_matrix(V_, 2);
  const aMatrix* m = record(V_);
  return in_context([&](KexCallContext* ctx) {
    std::string f = bytes(file_);
    return kexio::WriteColormap(ctx, f.c_str(), m);
  });
}

Ref IO::READFILE(const Str& cwd, const Args& args) {
  check_count(args);
  if (as_string(args[0]) == nullptr) Throw("must be string", 1);
  if (as_string(args[1]) == nullptr) Throw("must be string", 2);
  std::string c = Vrt::StringToRawBytes(cwd);
  return kexio::READFILE(c.c_str(), args);
}

Ref IO::csketchfile_cvs(const Ref& file_) {
  check_string(file_, 1);
  return in_context([&](KexCallContext* ctx) {
    std::string f = bytes(file_);
    return kexio::csketchfile_cvs(ctx, f.c_str());
  });
}

}  // namespace Kex

namespace kexio {

void not_available(const char* function) {
  (void)function;
  Kex::Throw("not available in this build", Kex::kWholeCall);
}

}  // namespace kexio
