// A test stand-in of the statistics library with only its TIFF reader: every
// file reads as one packed matrix of 2 rows and 6 columns, a picture two
// pixels wide whose red, green and blue planes lie side by side.
#include <cstdlib>
#include <cstring>

#include "kexstatscir/imgset.h"

extern "C" int imgset_read_tiff(const char*, void*, _univ_mat_set* set) {
  static const unsigned char kPacked[12] = {10, 200, 30, 40, 50, 60, 255, 0, 0, 255, 0, 128};
  auto* m = static_cast<_univ_mat*>(std::calloc(1, sizeof(_univ_mat)));
  void* data = std::malloc(sizeof kPacked);
  std::memcpy(data, kPacked, sizeof kPacked);
  *m = {2, 6, MUTIL_STORAGE_HEAP, data, MUTIL_UINT8};
  *set = {{0, 0}, 1, m};
  return 0;
}

extern "C" void matset_free_matrices(_univ_mat_set* set) {
  std::free(set->mats[0].data);
}

extern "C" void matset_free(_univ_mat_set* set) {
  std::free(set->mats);
  set->mats = nullptr;
}
