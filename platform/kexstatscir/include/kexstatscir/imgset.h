// The image readers of the host statistics library: PGM, PBM and PPM files
// (the netpbm formats, plain and binary) and TIFF files, read whole into
// typed matrices, and the set of matrices they return.
//
// Samples are kept as the file stores them, never scaled: a 16-bit file
// gives 0..65535. Every entry point returns 0 on success and 1 when the file
// cannot be read (cut short, malformed, of a kind not supported, or larger
// than memory can hold; the TIFF reader says 2 for some files cut short);
// after a failure the record is empty, never partly filled. Nothing is
// printed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "kexstatscir/matuniv.h"

// A set of typed matrices of equal shape and type.
struct _univ_mat_set {
  std::uint32_t reserved[2];  // not used; 0
  std::int32_t count;         // matrices in the set
  _univ_mat* mats;            // count records, owned by the library
};

static_assert(offsetof(_univ_mat_set, reserved) == 0);
static_assert(offsetof(_univ_mat_set, count) == 8);
static_assert(offsetof(_univ_mat_set, mats) == 16);
static_assert(sizeof(_univ_mat_set) == 24);

namespace mutils {
extern "C" {

// A grey image from f, from its current position: a PGM (P2, P5) or a PBM
// bitmap (P1, P4, black 0 and white 255) into one matrix of height rows and
// width columns, of type MUTIL_UINT8 when the largest sample value is at
// most 255, else MUTIL_UINT16. The context is not used.
int imguniv_read_pgm(std::FILE* f, void* context, _univ_mat* m);

// A colour image from f: a PPM (P3, P6) into three matrices, red, green and
// blue, typed as for imguniv_read_pgm. A grey file gives three equal
// matrices.
int imgset_read_ppm(std::FILE* f, void* context, _univ_mat_set* set);

// The first image of the TIFF file at path as three matrices, red, green
// and blue (a grey image as three equal ones). 8- and 16-bit samples keep
// their depth (MUTIL_UINT8, MUTIL_UINT16), and unsigned samples of 9 to 15
// bits their values as MUTIL_UINT16; grey levels of 1 to 7 bits and 1-, 2-
// and 4-bit palette images are expanded to 8 bits; 32-bit unsigned samples give
// MUTIL_UINT32, signed ones MUTIL_SINT8, MUTIL_SINT16 or MUTIL_SINT32 by
// their depth, floating-point samples MUTIL_DOUBLE; any other
// kind of image is converted to 8-bit red, green and blue. Alpha and other
// extra samples are dropped. A file that ends inside its image data
// returns 2 instead of 1, with the first row it could not read in the set's
// reserved[0] and the image's height in reserved[1]. The sizes the file
// states are checked against what its bytes can hold before anything is
// allocated.
int imgset_read_tiff(const char* path, void* context, _univ_mat_set* set);

// Releases what the library allocated for the set's matrices.
void matset_free_matrices(_univ_mat_set* set);
// Releases the set's own storage and leaves it empty.
void matset_free(_univ_mat_set* set);

}  // extern "C"
}  // namespace mutils
