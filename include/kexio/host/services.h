// Services of the host utility library used throughout the library: the
// file-name resolver, the colour-space conversions, pure_real and the
// conversions of worksheet names into paths of this platform and back.
#pragma once

#include <string>
#include <string_view>

#include "kexio/host/values.h"

// Resolves a worksheet file name against the worksheet directory.
//
// A relative name is joined to cwd (to the process's current directory when
// cwd is empty), an absolute name is kept and a file:// URL becomes its path.
// Any other URL scheme raises Kex::ComError, whose description quotes the
// name as given (Kex::given_bytes). Names and cwd are path text
// (Kex::path_text), and so is the resolved path.
class CHTTPRedirector {
 public:
  enum Mode { kRead = 1, kWrite = 2, kAppend = 3 };
  CHTTPRedirector(const char* name, const char* cwd, int mode);
  ~CHTTPRedirector();
  const std::string& LocalPath() const { return m_localPath; }

  std::string m_localPath;
};

namespace Kex {

// Colour-space conversions. Every component (hue, lightness, saturation,
// value) is a double on the scale 0 to 255, like the red, green, blue and grey
// planes of images; hue is the fraction of a full turn from red, times 255.
// The components are not rounded, so each pair turns every byte triple back
// into the same bytes. Outputs whose address is null are not stored.
void RGB_TO_HSV(unsigned char r, unsigned char g, unsigned char b, double* h, double* s, double* v);
void RGB_TO_HLS(unsigned char r, unsigned char g, unsigned char b, double* h, double* l, double* s);
// Inverses. Hue wraps around modulo 255; saturation, lightness and value are
// clamped to 0..255; NaN counts as 0.
void HSV_TO_RGB(double h, double s, double v, unsigned char* r, unsigned char* g, unsigned char* b);
void HLS_TO_RGB(double h, double l, double s, unsigned char* r, unsigned char* g, unsigned char* b);

// A worksheet string that names a file (or a folder) as a path of this
// platform: its UTF-16 code units encoded as UTF-8 (a surrogate without its
// pair as the three bytes of its code unit). Characters up to U+00FF give
// the UTF-8 form of their Latin-1 bytes; a U+0000 ends the name.
std::string path_text(std::u16string_view units);

// The byte string of the same name, as every other worksheet string reaches
// the library: each UTF-16 code unit cut to its low 8 bits. Messages quote
// names this way, and host libraries that take byte strings receive them so.
std::string given_bytes(const char* path_text);

}  // namespace Kex

// True when the matrix has no imaginary part.
bool pure_real(const Kex::aMatrix* m);
