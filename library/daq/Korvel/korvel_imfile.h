// korvel_imfile.h - camera images to files: PGM, raw and PPM files, or
// records appended to one CHANNEL.bin file per channel (-imbin), behind a
// free-space guard.
//
// Files go into `imdir`; each call opens and closes its files.
#ifndef KORVEL_IMFILE_H
#define KORVEL_IMFILE_H

#include <cstdint>

#include "event.h"

// width x height x lbpx without overflow: -1 when negative, INT64_MAX
// when past 64 bits.
int64_t image_size_bytes(int width, int height, int lbpx);

// Free-space guard: 1 when the file system holding "./" has less than
// `lim` percent of its blocks free, 0 when it has at least that, -1 when
// `lim` is outside 0..95 or the file system cannot be queried.
int camera_small_space(float lim);

// Write one raw record (the line "W H BPP\n", then W*H*BPP bytes of `data`)
// to `file_name`: appended with -imbin, else the file is created anew.
// 0 on success; -2 when the file cannot be opened or written: a file of
// its own is then removed (emptied when `file_name` is a link to it), an
// appended record cut back to the file's length before it; a device is
// left as it is.
int write_raw_file(const char *file_name, int width, int height, int lbpx, unsigned char *data);

// Store one image of `channel` (the bare channel name) in `imdir`.
// 0 when written (or when without -imbin `lbpx` is not 1, 2 or 3: nothing
// is written then); -5 when the free-space guard refuses (the reason is
// told on standard error once per run); -2 when a file cannot be opened or
// written, or its name would be too long. A file that could not be written
// whole is removed, a .bin record cut back: nothing partial stays.
int write_image_to_file(int width, int height, int lbpx, unsigned char *data, time_stamp *tm,
                        unsigned event_id, const char *channel);

#endif
