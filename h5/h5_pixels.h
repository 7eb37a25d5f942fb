// h5_pixels.h - the readers of pixel lists (h5_pixels.cc): the fast ones
// the cell grammar (h5_cells.cc) uses, and the portable one they are
// tested against. T is uint8_t or uint16_t, the pixel depth; `out` null
// counts without storing (pixels up to 999999 are then accepted). The bulk
// of a list is read in blocks: 64 bytes at a time where the CPU has
// AVX-512 (with VBMI2), 32 where it has AVX2 (chosen once, at the first
// call), else 16 (SSE2, or 8-byte words without it).
#ifndef KORVEL_H5_PIXELS_H
#define KORVEL_H5_PIXELS_H

#include <cstdint>

// Pixel numbers from [p, end), 1 to 6 digits each, each followed by `sep`
// except (when !sep_after_last) the last one, into out[0..cap). Returns
// false when a number is empty, too long, too large for T or beyond cap,
// or a separator is missing or doubled; else *npix gets the count and
// *maxval the largest pixel. The byte at `end` must not be a digit.
template <typename T>
bool pixels_read(const char *p, const char *end, char sep, bool sep_after_last, T *out,
                 uint64_t cap, uint64_t *npix, uint64_t *maxval);
// The same grammar a byte at a time: the reference of pixels_read.
template <typename T>
bool pixels_read_portable(const char *p, const char *end, char sep, bool sep_after_last, T *out,
                          uint64_t cap, uint64_t *npix, uint64_t *maxval);
// Blank-separated pixel numbers from p on, read up to the first byte that
// is neither a digit nor a blank (at most `limit`), whose position is
// returned; null when a number is empty, too long or does not fit.
template <typename T>
const char *pixels_read_open(const char *p, const char *limit, T *out, uint64_t cap, uint64_t *npix,
                             uint64_t *maxval);

// The block readers behind pixels_read and pixels_read_open. BEST is what
// they use; the others are reachable for the tests and the benchmark.
enum PixelBlocks {
    PIXEL_BLOCKS_BEST,
    PIXEL_BLOCKS_SSE2,
    PIXEL_BLOCKS_AVX2,
    PIXEL_BLOCKS_AVX512
};
// Whether this build and this CPU can run `blocks` (SSE2 and BEST always
// can: SSE2 stands for the 16-byte reader or, without SSE2, the 8-byte one).
bool pixel_blocks_available(PixelBlocks blocks);
// pixels_read and pixels_read_open with the given block reader (one that
// is not available falls back to SSE2).
template <typename T>
bool pixels_read_with(PixelBlocks blocks, const char *p, const char *end, char sep,
                      bool sep_after_last, T *out, uint64_t cap, uint64_t *npix, uint64_t *maxval);
template <typename T>
const char *pixels_read_open_with(PixelBlocks blocks, const char *p, const char *limit, T *out,
                                  uint64_t cap, uint64_t *npix, uint64_t *maxval);

#endif
