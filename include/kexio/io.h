// Kex::IO, the entry class: one static method per worksheet function.
//
// cwd is the worksheet directory (a host string); Pr_ and W_ are the
// worksheet's PRN precision and column width. Every other parameter is a host
// value. A failure throws Kex::Exception with the message and the 1-based
// index of the argument it belongs to (Kex::kWholeCall for the whole call).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kexio/export.h"
#include "kexio/host/errors.h"
#include "kexio/runtime/cvd.h"

namespace Kex {

class KEXIO_API IO {
 public:
  using Str = std::u16string;
  using Ref = Cvd::Ref;
  using Args = std::vector<Cvd::Ref>;

  IO() = default;

  // Text tables.
  static Ref READPRN(const Str& cwd, const Ref& file_);
  static Ref WRITEPRN(const Str& cwd, std::int32_t Pr_, std::int32_t W_, const Ref& file_,
                      const Ref& V_);
  static Ref APPENDPRN(const Str& cwd, std::int32_t Pr_, std::int32_t W_, const Ref& file_,
                       const Ref& V_);

  // Image reading.
  static Ref READ_IMAGE(const Str& cwd, const Ref& file_);
  static Ref READBMP(const Str& cwd, const Ref& file_);
  static Ref READRGB(const Str& cwd, const Ref& file_);
  static Ref READ_RED(const Str& cwd, const Ref& file_);
  static Ref READ_GREEN(const Str& cwd, const Ref& file_);
  static Ref READ_BLUE(const Str& cwd, const Ref& file_);
  static Ref READ_HLS(const Str& cwd, const Ref& file_);
  static Ref READ_HLS_HUE(const Str& cwd, const Ref& file_);
  static Ref READ_HLS_LIGHT(const Str& cwd, const Ref& file_);
  static Ref READ_HLS_SAT(const Str& cwd, const Ref& file_);
  static Ref READ_HSV(const Str& cwd, const Ref& file_);
  static Ref READ_HSV_HUE(const Str& cwd, const Ref& file_);
  static Ref READ_HSV_SAT(const Str& cwd, const Ref& file_);
  static Ref READ_HSV_VALUE(const Str& cwd, const Ref& file_);

  // Image writing.
  static Ref WRITEBMP(const Str& cwd, const Ref& file_, const Ref& V1_);
  static Ref WRITERGB(const Str& cwd, const Ref& file_, const Ref& V1_);
  static Ref WRITE_HLS(const Str& cwd, const Ref& file_, const Ref& V1_);
  static Ref WRITE_HSV(const Str& cwd, const Ref& file_, const Ref& V1_);

  // Binary matrices and raw images.
  static Ref READBIN(const Str& cwd, const Args& args);
  static Ref WRITEBIN(const Str& cwd, const Ref& file_, const Ref& S_, const Ref& X_,
                      const Ref& V_);
  static Ref READRAW(const Str& cwd, const Ref& file_, const Ref& X_, const Ref& Y_, const Ref& Z_,
                     const Ref& S_, const Ref& K_);
  // The writing overload: the host binds it under the worksheet name WRITERAW
  // too. The value comes first here while the user writes it last.
  static Ref READRAW(const Str& cwd, const Ref& V_, const Ref& file_, const Ref& X_, const Ref& S_);

  // WAV audio.
  static Ref GETWAVINFO(const Str& cwd, const Ref& file_);
  static Ref READWAV(const Str& cwd, const Ref& file_);
  static Ref WRITEWAV(const Str& cwd, const Ref& file_, const Ref& SR_, const Ref& Res_,
                      const Ref& V_);

  // Colormaps.
  static Ref LoadColormap(const Ref& file_);
  static Ref SaveColormap(const Ref& file_, const Ref& V_);

  // Data import and sketch files.
  static Ref READFILE(const Str& cwd, const Args& args);
  static Ref csketchfile_cvs(const Ref& file_);
};

}  // namespace Kex
