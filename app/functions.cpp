#include "functions.h"

#include <cctype>

#include "kexio/io.h"

namespace kexio::app {

namespace {

using IO = Kex::IO;

// Forms of one argument: the file name.
#define KX_READ1(NAME, SUMMARY, FAMILY)                                       \
  Function {                                                                  \
#NAME, "file", SUMMARY, FAMILY, 1,                                        \
        [](const CallEnv& e, const Args& a) { return IO::NAME(e.cwd, a[0]); } \
  }
#define KX_WRITE2(NAME, PARAMS, SUMMARY, FAMILY)                                    \
  Function {                                                                        \
#NAME, PARAMS, SUMMARY, FAMILY, 2,                                              \
        [](const CallEnv& e, const Args& a) { return IO::NAME(e.cwd, a[0], a[1]); } \
  }

const char* const kPrn = "Text tables (PRN files; the writers use PRNPRECISION and PRNCOLWIDTH)";
const char* const kImageRead = "Reading images (BMP, GIF, JPEG, PCX, PGM, PPM, TGA, TIFF)";
const char* const kImageWrite = "Writing images";
const char* const kBinary = "Binary data and raw images";
const char* const kWav = "WAV audio";
const char* const kColormap = "Colormaps (kept in the library's cmaps folder)";
const char* const kImport = "Data import and sketch files";

Cvd::Ref write_raw(const CallEnv& e, const Args& a) {
  // The user writes the matrix last; the method takes it first.
  return IO::READRAW(e.cwd, a[3], a[0], a[1], a[2]);
}

const std::vector<Function> kFunctions = {
    {"READPRN", "file", "read a PRN text table into a matrix", kPrn, 1,
     [](const CallEnv& e, const Args& a) { return IO::READPRN(e.cwd, a[0]); }},
    {"WRITEPRN", "file, value", "write a number or matrix as a PRN table; gives the value", kPrn, 2,
     [](const CallEnv& e, const Args& a) {
       return IO::WRITEPRN(e.cwd, e.prn_precision, e.prn_colwidth, a[0], a[1]);
     }},
    {"APPENDPRN", "file, matrix", "append the matrix's rows to a PRN table; gives the whole table",
     kPrn, 2,
     [](const CallEnv& e, const Args& a) {
       return IO::APPENDPRN(e.cwd, e.prn_precision, e.prn_colwidth, a[0], a[1]);
     }},

    KX_READ1(READ_IMAGE, "grey levels 0..255, one per pixel", kImageRead),
    KX_READ1(READBMP, "the same as READ_IMAGE, for any image format", kImageRead),
    KX_READ1(READRGB, "red, green and blue planes side by side (rows × 3·cols)", kImageRead),
    KX_READ1(READ_RED, "the red plane", kImageRead),
    KX_READ1(READ_GREEN, "the green plane", kImageRead),
    KX_READ1(READ_BLUE, "the blue plane", kImageRead),
    KX_READ1(READ_HLS, "hue, lightness and saturation planes side by side", kImageRead),
    KX_READ1(READ_HLS_HUE, "the hue plane (HLS)", kImageRead),
    KX_READ1(READ_HLS_LIGHT, "the lightness plane", kImageRead),
    KX_READ1(READ_HLS_SAT, "the saturation plane (HLS)", kImageRead),
    KX_READ1(READ_HSV, "hue, saturation and value planes side by side", kImageRead),
    KX_READ1(READ_HSV_HUE, "the hue plane (HSV)", kImageRead),
    KX_READ1(READ_HSV_SAT, "the saturation plane (HSV)", kImageRead),
    KX_READ1(READ_HSV_VALUE, "the value plane", kImageRead),

    KX_WRITE2(WRITEBMP, "file, matrix", "write grey levels as an image; gives 0", kImageWrite),
    KX_WRITE2(WRITERGB, "file, matrix", "write red, green, blue planes side by side; gives 0",
              kImageWrite),
    KX_WRITE2(WRITE_HLS, "file, matrix",
              "write hue, lightness, saturation planes side by side; gives 0", kImageWrite),
    KX_WRITE2(WRITE_HSV, "file, matrix",
              "write hue, saturation, value planes side by side; gives 0", kImageWrite),

    {"READBIN", "file, type [, endian [, cols [, skip [, rows]]]]",
     "read typed binary numbers (byte, sint8, uint16, int16, uint32, int32, float, double)",
     kBinary, -1, [](const CallEnv& e, const Args& a) { return IO::READBIN(e.cwd, a); }},
    {"WRITEBIN", "file, type, endian, matrix",
     "write a real matrix as typed binary numbers; gives 0", kBinary, 4,
     [](const CallEnv& e, const Args& a) { return IO::WRITEBIN(e.cwd, a[0], a[1], a[2], a[3]); }},
    {"READRAW", "file, X, Y, Z, S, K",
     "read a raw image (X, Y, Z, K numbers and S a string, as the image library takes them)",
     kBinary, 6,
     [](const CallEnv& e, const Args& a) {
       return IO::READRAW(e.cwd, a[0], a[1], a[2], a[3], a[4], a[5]);
     }},
    {"READRAW", "file, X, S, matrix", "with four arguments: the same as WRITERAW", kBinary, 4,
     write_raw},
    {"WRITERAW", "file, X, S, matrix", "write a matrix as a raw image; gives 0", kBinary, 4,
     write_raw},

    KX_READ1(GETWAVINFO, "[channels; samples per second; bits per sample; bytes per second]", kWav),
    KX_READ1(READWAV, "the samples, one row per frame and one column per channel", kWav),
    {"WRITEWAV", "file, rate, bits, matrix",
     "write samples (rows of channels) as PCM with 1 to 16 bits; gives 0", kWav, 4,
     [](const CallEnv& e, const Args& a) { return IO::WRITEWAV(e.cwd, a[0], a[1], a[2], a[3]); }},

    {"LoadColormap", "name", "the colormap's colours as rows of red, green, blue", kColormap, 1,
     [](const CallEnv&, const Args& a) { return IO::LoadColormap(a[0]); }},
    {"SaveColormap", "name, matrix", "save rows of red, green, blue; gives the number of colours",
     kColormap, 2, [](const CallEnv&, const Args& a) { return IO::SaveColormap(a[0], a[1]); }},

    {"READFILE", "file, type [, schema] [, rows [, cols [, missing]]]",
     "import a data file through the data-import library (schema only with type \"fixed\")",
     kImport, -1, [](const CallEnv& e, const Args& a) { return IO::READFILE(e.cwd, a); }},
    {"csketchfile_cvs", "file", "the points of a sketch file as complex numbers x + yi", kImport, 1,
     [](const CallEnv&, const Args& a) { return IO::csketchfile_cvs(a[0]); }},
};

#undef KX_READ1
#undef KX_WRITE2

}  // namespace

const std::vector<Function>& functions() {
  return kFunctions;
}

const Function* find_function(std::string_view name, std::size_t n) {
  for (const Function& f : kFunctions) {
    if (name == f.name && (f.count < 0 || static_cast<std::size_t>(f.count) == n)) return &f;
  }
  return nullptr;
}

bool is_function(std::string_view name) {
  for (const Function& f : kFunctions) {
    if (name == f.name) return true;
  }
  return false;
}

std::string usage(std::string_view name) {
  std::string out;
  for (const Function& f : kFunctions) {
    if (name != f.name) continue;
    if (!out.empty()) out += " or ";
    out += std::string(f.name) + "(" + f.params + ")";
  }
  return out;
}

std::string similar_function(std::string_view name) {
  auto lower = [](std::string_view s) {
    std::string r(s);
    for (char& c : r)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
  };
  std::string want = lower(name);
  for (const Function& f : kFunctions) {
    if (lower(f.name) == want) return f.name;
  }
  return {};
}

}  // namespace kexio::app
