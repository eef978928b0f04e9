// Colour-space conversions on the 0..255 scale (see services.h).
#include <cmath>

#include "kexio/host/services.h"

namespace {

constexpr double kSixth = 255.0 / 6.0;  // one sector of the hue circle

// Hue of a byte triple with maximum mx and spread delta > 0.
double hue(int r, int g, int b, int mx, int delta) {
  double h6;
  if (mx == r) {
    h6 = static_cast<double>(g - b) / delta;
    if (h6 < 0) h6 += 6.0;
  } else if (mx == g) {
    h6 = 2.0 + static_cast<double>(b - r) / delta;
  } else {
    h6 = 4.0 + static_cast<double>(r - g) / delta;
  }
  return h6 * kSixth;
}

unsigned char to_byte(double x) {
  if (!(x > 0.0)) return 0;
  if (x >= 255.0) return 255;
  return static_cast<unsigned char>(x + 0.5);
}

double clamp255(double x) {
  if (!(x > 0.0)) return 0.0;  // NaN too
  return x > 255.0 ? 255.0 : x;
}

// Hue as sectors 0 <= h6 < 6, wrapping around.
double sectors(double h) {
  if (!std::isfinite(h)) return 0.0;
  double h6 = std::fmod(h / kSixth, 6.0);
  if (h6 < 0) h6 += 6.0;
  if (h6 >= 6.0) h6 = 0.0;
  return h6;
}

}  // namespace

namespace Kex {

void RGB_TO_HSV(unsigned char r, unsigned char g, unsigned char b, double* h, double* s,
                double* v) {
  int mx = r > g ? (r > b ? r : b) : (g > b ? g : b);
  int mn = r < g ? (r < b ? r : b) : (g < b ? g : b);
  int delta = mx - mn;
  if (h != nullptr) *h = delta == 0 ? 0.0 : hue(r, g, b, mx, delta);
  if (s != nullptr) *s = mx == 0 ? 0.0 : 255.0 * delta / mx;
  if (v != nullptr) *v = mx;
}

void RGB_TO_HLS(unsigned char r, unsigned char g, unsigned char b, double* h, double* l,
                double* s) {
  int mx = r > g ? (r > b ? r : b) : (g > b ? g : b);
  int mn = r < g ? (r < b ? r : b) : (g < b ? g : b);
  int delta = mx - mn;
  int sum = mx + mn;
  if (h != nullptr) *h = delta == 0 ? 0.0 : hue(r, g, b, mx, delta);
  if (l != nullptr) *l = sum / 2.0;
  if (s != nullptr) {
    if (delta == 0) {
      *s = 0.0;
    } else {
      *s = 255.0 * delta / (sum <= 255 ? sum : 510 - sum);
    }
  }
}

void HSV_TO_RGB(double h, double s, double v, unsigned char* r, unsigned char* g,
                unsigned char* b) {
  double h6 = sectors(h);
  double sat = clamp255(s) / 255.0;
  double val = clamp255(v);
  int i = static_cast<int>(h6);
  double f = h6 - i;
  double p = val * (1.0 - sat);
  double q = val * (1.0 - sat * f);
  double t = val * (1.0 - sat * (1.0 - f));
  double rr, gg, bb;
  switch (i) {
    case 0:
      rr = val, gg = t, bb = p;
      break;
    case 1:
      rr = q, gg = val, bb = p;
      break;
    case 2:
      rr = p, gg = val, bb = t;
      break;
    case 3:
      rr = p, gg = q, bb = val;
      break;
    case 4:
      rr = t, gg = p, bb = val;
      break;
    default:
      rr = val, gg = p, bb = q;
      break;
  }
  *r = to_byte(rr);
  *g = to_byte(gg);
  *b = to_byte(bb);
}

namespace {
// One channel of the HLS inverse; t is the channel's hue in sectors.
double hls_channel(double p, double q, double t6) {
  if (t6 < 0) t6 += 6.0;
  if (t6 >= 6.0) t6 -= 6.0;
  if (t6 < 1.0) return p + (q - p) * t6;
  if (t6 < 3.0) return q;
  if (t6 < 4.0) return p + (q - p) * (4.0 - t6);
  return p;
}
}  // namespace

void HLS_TO_RGB(double h, double l, double s, unsigned char* r, unsigned char* g,
                unsigned char* b) {
  double h6 = sectors(h);
  double lig = clamp255(l);
  double sat = clamp255(s) / 255.0;
  double q = lig <= 127.5 ? lig * (1.0 + sat) : lig + sat * (255.0 - lig);
  double p = 2.0 * lig - q;
  *r = to_byte(hls_channel(p, q, h6 + 2.0));
  *g = to_byte(hls_channel(p, q, h6));
  *b = to_byte(hls_channel(p, q, h6 - 2.0));
}

}  // namespace Kex

bool pure_real(const Kex::aMatrix* m) {
  if (m == nullptr || m->m_iv == nullptr) return true;
  std::size_t n = static_cast<std::size_t>(m->rows) * m->cols;
  for (std::size_t i = 0; i < n; ++i) {
    if (m->m_iv[i] != 0.0) return false;
  }
  return true;
}
