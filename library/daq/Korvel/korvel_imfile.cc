// korvel_imfile.cc - camera images to files: the free-space guard, raw
// records, PGM/PPM/raw files and the appending CHANNEL.bin form.
//
// No state survives a call: every file is opened and closed within it.
// Failures to open or write a file are reported on standard error with the
// "grab:" prefix and give -2.
#include "korvel_imfile.h"

#include <sys/statvfs.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "korvel_state.h"

int camera_small_space(float lim) {
    if (lim < 0 || lim > 95)
        return -1;
    struct statvfs64 st;
    if (statvfs64("./", &st) != 0) {
        perror("statvfs64");
        printf("small_space() failed statvfs() for %s", "./");
        return -1;
    }
    // f_bfree counts the blocks reserved for the superuser as free. 0 free
    // of 0 blocks is not a number and counts as too little.
    float left = (float)((double)st.f_bfree / (double)st.f_blocks * 100.0);
    return left >= lim ? 0 : 1;
}

int64_t image_size_bytes(int width, int height, int lbpx) {
    int64_t xy = (int64_t)width * height;  // always fits in 64 bits
    int64_t b = lbpx;
    if (xy == 0 || b == 0)
        return 0;
    if ((xy < 0) != (b < 0))
        return -1;
    uint64_t mxy = xy < 0 ? 0 - (uint64_t)xy : (uint64_t)xy;
    uint64_t mb = b < 0 ? 0 - (uint64_t)b : (uint64_t)b;
    if (mxy > (uint64_t)INT64_MAX / mb)
        return INT64_MAX;
    return (int64_t)(mxy * mb);
}

/* Bytes to write for an image; 0 for a negative product. */
static size_t image_bytes(int width, int height, int lbpx) {
    int64_t n = image_size_bytes(width, height, lbpx);
    return n > 0 ? (size_t)n : 0;
}

static int report_open_failure(const char *name) {
    fprintf(stderr, "grab: can't open %s: %s\n", name, strerror(errno));
    return -2;
}

/* Close f; -2 with a message when a write into it or the close failed. */
static int close_checked(FILE *f, const char *name) {
    int err = ferror(f) ? (errno ? errno : EIO) : 0;
    if (fclose(f) != 0 && !err)
        err = errno ? errno : EIO;
    if (!err)
        return 0;
    fprintf(stderr, "grab: can't write %s: %s\n", name, strerror(err));
    return -2;
}

/* Write n bytes; a short write leaves the stream's error flag set. */
static void write_bytes(FILE *f, const unsigned char *data, size_t n) {
    if (n && fwrite(data, 1, n, f) != n && !ferror(f))
        errno = EIO;
}

int write_raw_file(const char *file_name, int width, int height, int lbpx,
                   unsigned char *data) {
    FILE *f = fopen(file_name, imbin ? "a" : "w");
    if (!f)
        return report_open_failure(file_name);
    errno = 0;
    fprintf(f, "%d %d %d\n", width, height, lbpx);
    write_bytes(f, data, image_bytes(width, height, lbpx));
    return close_checked(f, file_name);
}

/* A Netpbm file: header "P5" (grey) or "P6" (colour), then the pixels. */
static int write_netpbm(const char *name, const char *magic, int width, int height,
                        int lbpx, const unsigned char *data) {
    FILE *f = fopen(name, "w");
    if (!f)
        return report_open_failure(name);
    errno = 0;
    fprintf(f, "%s\n%d %d\n255\n", magic, width, height);
    write_bytes(f, data, image_bytes(width, height, lbpx));
    return close_checked(f, name);
}

/* One .bin record: the event line, then a raw record. */
static int append_bin_record(const char *name, int width, int height, int lbpx,
                             unsigned char *data, const time_stamp *tm, unsigned event_id) {
    FILE *f = fopen(name, "a");
    if (!f)
        return report_open_failure(name);
    errno = 0;
    fprintf(f, "%d %d %d\n", (int)event_id, (int)tm->timeup, (int)tm->timelow);
    if (close_checked(f, name) != 0)
        return -2;
    return write_raw_file(name, width, height, lbpx, data);
}

/* Compose the file name into file_name (256 bytes): "DIR/CHANNEL.bin" or
 * "DIR/CHANNEL_EVENT_CTIME_MS.EXT", every blank turned into '_'. Slashes
 * of the channel name become '_' too, so that one channel is one file in
 * DIR. -2 with a message when the name would not fit in 255 characters. */
static int compose_file_name(char *file_name, const char *channel, const time_stamp *tm,
                             unsigned event_id, const char *ext) {
    char channel_nosl[256];
    size_t cn = strnlen(channel, sizeof channel_nosl);
    int n;
    if (cn < sizeof channel_nosl) {
        memcpy(channel_nosl, channel, cn + 1);
        for (char *c = channel_nosl; *c; c++)
            if (*c == '/')
                *c = '_';
        if (imbin) {
            n = snprintf(file_name, 256, "%s/%s.bin", imdir, channel_nosl);
        } else {
            time_t tt = (time_t)tm->timeup;
            char ct[64] = {0};
            const char *c = ctime(&tt);
            if (c)
                snprintf(ct, sizeof ct, "%s", c);
            size_t ctl = strlen(ct);
            if (ctl > 0 && ct[ctl - 1] == '\n')
                ct[ctl - 1] = '\0';
            n = snprintf(file_name, 256, "%s/%s_%d_%s_%d%s", imdir, channel_nosl,
                         (int)event_id, ct, (int)(tm->timelow / 1000), ext);
        }
    } else {
        n = snprintf(file_name, 256, "%s/%s", imdir, channel);
    }
    for (char *c = file_name; *c; c++)
        if (*c == ' ')
            *c = '_';
    if (n < 0 || n > 255) {
        fprintf(stderr, "grab: file name too long: %s\n", file_name);
        return -2;
    }
    return 0;
}

int write_image_to_file(int width, int height, int lbpx, unsigned char *data,
                        time_stamp *tm, unsigned event_id, const char *channel) {
    if (camera_small_space(10) != 0)
        return -5;
    char file_name[256] = {0};
    if (imbin) {
        if (compose_file_name(file_name, channel, tm, event_id, "") != 0)
            return -2;
        return append_bin_record(file_name, width, height, lbpx, data, tm, event_id);
    }
    const char *ext = lbpx == 1 ? ".pgm" : lbpx == 2 ? ".raw" : lbpx == 3 ? ".ppm" : nullptr;
    if (!ext)
        return 0;
    if (compose_file_name(file_name, channel, tm, event_id, ext) != 0)
        return -2;
    if (lbpx == 2)
        return write_raw_file(file_name, width, height, 2, data);
    return write_netpbm(file_name, lbpx == 1 ? "P5" : "P6", width, height, lbpx, data);
}
