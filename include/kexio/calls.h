// Every worksheet function of the library, declared once: adding a function
// is one line of KEXIO_FUNCTIONS (and, for a new way of taking arguments, a
// form below with its checks in the entry layer and its worker signature).
//
// KEXIO_FUNCTIONS(X) expands X(name, form, worker, result, resolve_at,
// params, summary, family) once per function, in the order hosts list them:
//
//   name        the worksheet name; also the name of the Kex::IO method
//   form        how the method takes its arguments and hands them to the
//               worker (the forms are listed below)
//   worker      the function of namespace kexio that does the work
//   result      what the worker returns
//   resolve_at  the argument a failure of the file-name resolver is reported
//               at (kWholeCall: the call as a whole)
//   params      the arguments as the user writes them
//   summary     one line of help
//   family      the group of functions it belongs to (KEXIO_FAMILY_<family>
//               is its heading)
//
// The entry methods of Kex::IO (kexio/io.h), the declarations of the
// workers and the descriptors of kexio/functions.h, which hosts and the
// Python module make their function lists from, are all made from this list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kexio/host/values.h"

// The type words of READBIN and WRITEBIN.
#define KEXIO_BINARY_TYPES "byte, sint8, uint16, int16, uint32, int32, float, double"

// clang-format off
#define KEXIO_FUNCTIONS(X)                                                                         \
  X(READPRN, prn_read, read_prn, Cvd::Ref, 1, "file",                                              \
    "read a PRN text table into a matrix", prn)                                                    \
  X(WRITEPRN, prn_write, write_prn, Cvd::Ref, 1, "file, value",                                    \
    "write a number or matrix as a PRN table; gives the value", prn)                               \
  X(APPENDPRN, prn_append, append_prn, Cvd::Ref, kWholeCall, "file, matrix",                       \
    "append the matrix's rows to a PRN table; gives the whole table", prn)                         \
  X(READ_IMAGE, file, read_image, aMatrix*, kWholeCall, "file",                                    \
    "grey levels 0..255, one per pixel", image_read)                                               \
  X(READBMP, file, read_image, aMatrix*, kWholeCall, "file",                                       \
    "the same as READ_IMAGE, for any image format", image_read)                                    \
  X(READRGB, file, read_rgb, aMatrix*, kWholeCall, "file",                                         \
    "red, green and blue planes side by side (rows × 3·cols)", image_read)                         \
  X(READ_RED, file, read_red, aMatrix*, kWholeCall, "file", "the red plane", image_read)           \
  X(READ_GREEN, file, read_green, aMatrix*, kWholeCall, "file", "the green plane", image_read)     \
  X(READ_BLUE, file, read_blue, aMatrix*, kWholeCall, "file", "the blue plane", image_read)        \
  X(READ_HLS, file, read_hls, aMatrix*, kWholeCall, "file",                                        \
    "hue, lightness and saturation planes side by side", image_read)                               \
  X(READ_HLS_HUE, file, read_hls_hue, aMatrix*, kWholeCall, "file",                                \
    "the hue plane (HLS)", image_read)                                                             \
  X(READ_HLS_LIGHT, file, read_hls_light, aMatrix*, kWholeCall, "file",                            \
    "the lightness plane", image_read)                                                             \
  X(READ_HLS_SAT, file, read_hls_sat, aMatrix*, kWholeCall, "file",                                \
    "the saturation plane (HLS)", image_read)                                                      \
  X(READ_HSV, file, read_hsv, aMatrix*, kWholeCall, "file",                                        \
    "hue, saturation and value planes side by side", image_read)                                   \
  X(READ_HSV_HUE, file, read_hsv_hue, aMatrix*, kWholeCall, "file",                                \
    "the hue plane (HSV)", image_read)                                                             \
  X(READ_HSV_SAT, file, read_hsv_sat, aMatrix*, kWholeCall, "file",                                \
    "the saturation plane (HSV)", image_read)                                                      \
  X(READ_HSV_VALUE, file, read_hsv_value, aMatrix*, kWholeCall, "file",                            \
    "the value plane", image_read)                                                                 \
  X(WRITEBMP, image_write, write_bmp, aComplex*, kWholeCall, "file, matrix",                       \
    "write grey levels as an image; gives 0", image_write)                                         \
  X(WRITERGB, image_write, write_rgb, aComplex*, kWholeCall, "file, matrix",                       \
    "write red, green, blue planes side by side; gives 0", image_write)                            \
  X(WRITE_HLS, image_write, write_hls, aComplex*, kWholeCall, "file, matrix",                      \
    "write hue, lightness, saturation planes side by side; gives 0", image_write)                  \
  X(WRITE_HSV, image_write, write_hsv, aComplex*, kWholeCall, "file, matrix",                      \
    "write hue, saturation, value planes side by side; gives 0", image_write)                      \
  X(READBIN, bin_read, read_bin, aMatrix*, kWholeCall,                                             \
    "file, type [, endian [, cols [, skip [, rows]]]]",                                            \
    "read typed binary numbers (" KEXIO_BINARY_TYPES ")",                                          \
    binary)                                                                                        \
  X(WRITEBIN, bin_write, write_bin, aComplex*, kWholeCall, "file, type, endian, matrix",           \
    "write a real matrix as typed binary numbers; gives 0", binary)                                \
  X(READRAW, raw_read, read_raw, aMatrix*, kWholeCall, "file, X, Y, Z, S, K",                      \
    "read a raw image (X, Y, Z, K numbers and S a string, as the image library takes them)",       \
    binary)                                                                                        \
  X(READRAW, raw_write, write_raw, aComplex*, kWholeCall, "file, X, S, matrix",                    \
    "with four arguments: the same as WRITERAW", binary)                                           \
  X(GETWAVINFO, file, get_wav_info, aVector*, kWholeCall, "file",                                  \
    "[channels; samples per second; bits per sample; bytes per second]", wav)                      \
  X(READWAV, file, read_wav, aMatrix*, kWholeCall, "file",                                         \
    "the samples, one row per frame and one column per channel", wav)                              \
  X(WRITEWAV, wav_write, write_wav, aComplex*, kWholeCall, "file, rate, bits, matrix",             \
    "write samples (rows of channels) as PCM with 1 to 32 bits; gives 0", wav)                     \
  X(LoadColormap, name, read_colormap, aMatrix*, kWholeCall, "name",                               \
    "the colormap's colours as rows of red, green, blue", colormap)                                \
  X(SaveColormap, name_matrix, write_colormap, aComplex*, kWholeCall, "name, matrix",              \
    "save rows of red, green, blue; gives the number of colours", colormap)                        \
  X(READFILE, import_list, read_file, Cvd::Ref, kWholeCall,                                        \
    "file, type [, schema] [, rows [, cols [, missing]]]",                                         \
    "import a data file through the data-import library (schema only with type \"fixed\")",        \
    import)                                                                                        \
  X(csketchfile_cvs, name, read_sketch, aVector*, kWholeCall, "file",                              \
    "the points of a sketch file as complex numbers x + yi", import)

// Further worksheet names of a method form: A(alias, name, form, summary).
// The writing form of READRAW is called as WRITERAW too.
#define KEXIO_FUNCTION_ALIASES(A)                                                                  \
  A(WRITERAW, READRAW, raw_write, "write a matrix as a raw image; gives 0")

namespace Kex {

// What a user's argument must be: a string, a number ("scalar"), a matrix,
// a matrix of numbers only, a real matrix of numbers only, or a number or a
// matrix ("value").
enum class Arg : unsigned char { string, scalar, matrix, scalar_matrix, real_matrix, value };

}  // namespace Kex

// The headings of the families.
#define KEXIO_FAMILY_prn "Text tables (PRN files; the writers use PRNPRECISION and PRNCOLWIDTH)"
#define KEXIO_FAMILY_image_read "Reading images (BMP, GIF, JPEG, PCX, PGM, PNG, PPM, TGA, TIFF)"
#define KEXIO_FAMILY_image_write "Writing images"
#define KEXIO_FAMILY_binary "Binary data and raw images"
#define KEXIO_FAMILY_wav "WAV audio"
#define KEXIO_FAMILY_colormap "Colormaps (kept in the library's cmaps folder)"
#define KEXIO_FAMILY_import "Data import and sketch files"

// The forms. KEXIO_PARAMS_<form> is the parameter list of the Kex::IO
// method, KEXIO_ARGS_<form> the same parameters passed on, KEXIO_ARGC_<form>
// the number of arguments the user writes (-1: a list of 2 to 6 that the
// function counts itself), KEXIO_KINDS_<form> what the user's arguments
// must be, in the order they are checked (of a list, the first two), and
// KEXIO_USER_<form> the method's arguments made
// from what a host supplies (e, a Kex::CallEnv) and the user's arguments in
// the order the user writes them (a). cwd is the worksheet directory; Pr_
// and W_ are the worksheet's PRNPRECISION and PRNCOLWIDTH; every other
// parameter is a host value, named as the user's arguments are: file_ the
// file name, V_ and V1_ the value or matrix, S_ a type or option string, X_
// Y_ Z_ K_ SR_ Res_ numbers, args the whole list.
#define KEXIO_S Kex::Arg::string
#define KEXIO_N Kex::Arg::scalar
#define KEXIO_M Kex::Arg::matrix
#define KEXIO_SM Kex::Arg::scalar_matrix
#define KEXIO_RM Kex::Arg::real_matrix
#define KEXIO_V Kex::Arg::value
#define KEXIO_STR const std::u16string&
#define KEXIO_REF const Cvd::Ref&
#define KEXIO_LIST const std::vector<Cvd::Ref>&

#define KEXIO_PARAMS_prn_read KEXIO_STR cwd, KEXIO_REF file_
#define KEXIO_ARGS_prn_read cwd, file_
#define KEXIO_ARGC_prn_read 1
#define KEXIO_KINDS_prn_read KEXIO_S
#define KEXIO_USER_prn_read e.cwd, a[0]
#define KEXIO_PARAMS_prn_write                                                                     \
  KEXIO_STR cwd, std::int32_t Pr_, std::int32_t W_, KEXIO_REF file_, KEXIO_REF V_
#define KEXIO_ARGS_prn_write cwd, Pr_, W_, file_, V_
#define KEXIO_ARGC_prn_write 2
#define KEXIO_KINDS_prn_write KEXIO_S, KEXIO_V
#define KEXIO_USER_prn_write e.cwd, e.prn_precision, e.prn_colwidth, a[0], a[1]
#define KEXIO_PARAMS_prn_append KEXIO_PARAMS_prn_write
#define KEXIO_ARGS_prn_append KEXIO_ARGS_prn_write
#define KEXIO_ARGC_prn_append 2
#define KEXIO_KINDS_prn_append KEXIO_S, KEXIO_M
#define KEXIO_USER_prn_append KEXIO_USER_prn_write
#define KEXIO_PARAMS_file KEXIO_STR cwd, KEXIO_REF file_
#define KEXIO_ARGS_file cwd, file_
#define KEXIO_ARGC_file 1
#define KEXIO_KINDS_file KEXIO_S
#define KEXIO_USER_file e.cwd, a[0]
#define KEXIO_PARAMS_image_write KEXIO_STR cwd, KEXIO_REF file_, KEXIO_REF V1_
#define KEXIO_ARGS_image_write cwd, file_, V1_
#define KEXIO_ARGC_image_write 2
#define KEXIO_KINDS_image_write KEXIO_S, KEXIO_SM
#define KEXIO_USER_image_write e.cwd, a[0], a[1]
#define KEXIO_PARAMS_bin_read KEXIO_STR cwd, KEXIO_LIST args
#define KEXIO_ARGS_bin_read cwd, args
#define KEXIO_ARGC_bin_read -1
#define KEXIO_KINDS_bin_read KEXIO_S, KEXIO_S
#define KEXIO_USER_bin_read e.cwd, a
#define KEXIO_PARAMS_bin_write                                                                     \
  KEXIO_STR cwd, KEXIO_REF file_, KEXIO_REF S_, KEXIO_REF X_, KEXIO_REF V_
#define KEXIO_ARGS_bin_write cwd, file_, S_, X_, V_
#define KEXIO_ARGC_bin_write 4
#define KEXIO_KINDS_bin_write KEXIO_S, KEXIO_S, KEXIO_N, KEXIO_SM
#define KEXIO_USER_bin_write e.cwd, a[0], a[1], a[2], a[3]
#define KEXIO_PARAMS_raw_read                                                                      \
  KEXIO_STR cwd, KEXIO_REF file_, KEXIO_REF X_, KEXIO_REF Y_, KEXIO_REF Z_, KEXIO_REF S_,          \
      KEXIO_REF K_
#define KEXIO_ARGS_raw_read cwd, file_, X_, Y_, Z_, S_, K_
#define KEXIO_ARGC_raw_read 6
#define KEXIO_KINDS_raw_read KEXIO_S, KEXIO_N, KEXIO_N, KEXIO_N, KEXIO_S, KEXIO_N
#define KEXIO_USER_raw_read e.cwd, a[0], a[1], a[2], a[3], a[4], a[5]
// The value comes first here while the user writes it last.
#define KEXIO_PARAMS_raw_write                                                                     \
  KEXIO_STR cwd, KEXIO_REF V_, KEXIO_REF file_, KEXIO_REF X_, KEXIO_REF S_
#define KEXIO_ARGS_raw_write cwd, V_, file_, X_, S_
#define KEXIO_ARGC_raw_write 4
#define KEXIO_KINDS_raw_write KEXIO_S, KEXIO_N, KEXIO_S, KEXIO_SM
#define KEXIO_USER_raw_write e.cwd, a[3], a[0], a[1], a[2]
#define KEXIO_PARAMS_wav_write                                                                     \
  KEXIO_STR cwd, KEXIO_REF file_, KEXIO_REF SR_, KEXIO_REF Res_, KEXIO_REF V_
#define KEXIO_ARGS_wav_write cwd, file_, SR_, Res_, V_
#define KEXIO_ARGC_wav_write 4
#define KEXIO_KINDS_wav_write KEXIO_S, KEXIO_N, KEXIO_N, KEXIO_SM
#define KEXIO_USER_wav_write e.cwd, a[0], a[1], a[2], a[3]
#define KEXIO_PARAMS_name KEXIO_REF file_
#define KEXIO_ARGS_name file_
#define KEXIO_ARGC_name 1
#define KEXIO_KINDS_name KEXIO_S
#define KEXIO_USER_name a[0]
#define KEXIO_PARAMS_name_matrix KEXIO_REF file_, KEXIO_REF V_
#define KEXIO_ARGS_name_matrix file_, V_
#define KEXIO_ARGC_name_matrix 2
#define KEXIO_KINDS_name_matrix KEXIO_S, KEXIO_RM
#define KEXIO_USER_name_matrix a[0], a[1]
#define KEXIO_PARAMS_import_list KEXIO_STR cwd, KEXIO_LIST args
#define KEXIO_ARGS_import_list cwd, args
#define KEXIO_ARGC_import_list -1
#define KEXIO_KINDS_import_list KEXIO_S, KEXIO_S
#define KEXIO_USER_import_list e.cwd, a
// clang-format on

#define KEXIO_PARAMS(form) KEXIO_PARAMS_##form
#define KEXIO_ARGS(form) KEXIO_ARGS_##form
#define KEXIO_ARGC(form) KEXIO_ARGC_##form
#define KEXIO_USER(form) KEXIO_USER_##form
#define KEXIO_KINDS(form) KEXIO_KINDS_##form
#define KEXIO_FAMILY(family) KEXIO_FAMILY_##family
