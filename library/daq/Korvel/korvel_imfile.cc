// korvel_imfile.cc - camera images to files: the free-space guard, raw
// records, PGM/PPM/raw files and the appending CHANNEL.bin form.
//
// Every file is opened and closed within one call; what a failed call
// wrote is undone (a file of its own removed, an appended .bin record cut
// back), so image files are whole or absent; a device or a link in the
// file's place is never removed. Failures to open or write a file are
// reported on standard error with the "grab:" prefix, kept for
// korvel_output_failure, and give -2. The free-space guard's refusal is
// explained once per run.
#include "korvel_imfile.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "korvel_state.h"

/* The guard, also giving the free share of the file system holding "./"
 * in percent (single precision, as it is compared) in *left; the share is
 * left alone when the query fails. Results as camera_small_space. */
static int small_space_share(float lim, float *left) {
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
    *left = (float)((double)st.f_bfree / (double)st.f_blocks * 100.0);
    return *left >= lim ? 0 : 1;
}

int camera_small_space(float lim) {
    float left = 0;
    return small_space_share(lim, &left);
}

/* Say once per run why no image is written: the guard refuses every image
 * alike, and "Failed to dump image" alone does not tell the reason. `left`
 * is the free share, negative when it could not be queried, not a number
 * when the file system reports no blocks at all. */
static void explain_space_refusal(float left) {
    if (space_refusal_told)
        return;
    space_refusal_told = true;
    char cwd[4096];
    const char *where = getcwd(cwd, sizeof cwd) ? cwd : "./";
    if (left < 0)
        fprintf(stderr,
                "grab: images are not written: the free space of the file system "
                "holding %s cannot be queried\n",
                where);
    else if (left != left)
        fprintf(stderr,
                "grab: images are not written: the file system holding %s reports "
                "no blocks at all\n",
                where);
    else
        fprintf(stderr,
                "grab: images are not written: the file system holding %s has "
                "%.2f %% of its blocks free, less than the 10 %% required\n",
                where, (double)left);
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
    int err = errno;
    fprintf(stderr, "grab: can't open %s: %s\n", name, strerror(err));
    korvel_output_failed("image file", name, err);
    return -2;
}

/* Length of the open file f, where an appended record begins; -1 when
 * unknown (nothing can be cut back then). */
static off_t file_length(FILE *f) {
    struct stat st;
    return fstat(fileno(f), &st) == 0 ? st.st_size : -1;
}

/* Undo what a failed call wrote, once its file is closed. `wrote` is the
 * file the stream wrote (its fstat before the close). Only that file is
 * touched, only when it is a regular file and `name` still leads to it: a
 * device such as /dev/full has nothing to undo, and a path that is not the
 * plug-in's own file (a device node, a link) is never removed. A file of
 * its own (`keep` < 0) is removed, or emptied when `name` is a link to it;
 * an appended record is cut back to `keep` bytes, the file's length
 * before it. */
static void undo_partial_file(const char *name, off_t keep, const struct stat *wrote) {
    struct stat now, entry;
    if (!S_ISREG(wrote->st_mode) || stat(name, &now) != 0 || now.st_dev != wrote->st_dev ||
        now.st_ino != wrote->st_ino || lstat(name, &entry) != 0)
        return;
    int rc;
    if (keep < 0 && !S_ISLNK(entry.st_mode))
        rc = unlink(name);
    else
        rc = truncate(name, keep < 0 ? 0 : keep);
    (void)rc;
}

/* Close f; -2 with a message when a write into it or the close failed,
 * after undoing the partial write (see undo_partial_file). */
static int close_checked(FILE *f, const char *name, off_t keep) {
    // errno still tells why a write failed: kept across the query.
    int write_errno = errno;
    struct stat wrote;
    if (fstat(fileno(f), &wrote) != 0)
        wrote.st_mode = 0;  // unknown: nothing is undone
    errno = write_errno;
    bool at_close = false;
    int err = korvel_close_output(f, 0, &at_close);
    if (!err)
        return 0;
    undo_partial_file(name, keep, &wrote);
    fprintf(stderr, "grab: can't write %s: %s\n", name, strerror(err));
    korvel_output_failed("image file", name, err);
    return -2;
}

/* Write n bytes; a short write leaves the stream's error flag set. */
static void write_bytes(FILE *f, const unsigned char *data, size_t n) {
    if (n && fwrite(data, 1, n, f) != n && !ferror(f))
        errno = EIO;
}

/* The raw record: its "W H BPP" line and the bytes. */
static void put_raw_record(FILE *f, int width, int height, int lbpx, const unsigned char *data) {
    fprintf(f, "%d %d %d\n", width, height, lbpx);
    write_bytes(f, data, image_bytes(width, height, lbpx));
}

int write_raw_file(const char *file_name, int width, int height, int lbpx, unsigned char *data) {
    FILE *f = fopen(file_name, opt.imbin ? "a" : "w");
    if (!f)
        return report_open_failure(file_name);
    off_t keep = opt.imbin ? file_length(f) : -1;
    errno = 0;
    put_raw_record(f, width, height, lbpx, data);
    return close_checked(f, file_name, keep);
}

/* A Netpbm file: header "P5" (grey) or "P6" (colour), then the pixels. */
static int write_netpbm(const char *name, const char *magic, int width, int height, int lbpx,
                        const unsigned char *data) {
    FILE *f = fopen(name, "w");
    if (!f)
        return report_open_failure(name);
    errno = 0;
    fprintf(f, "%s\n%d %d\n255\n", magic, width, height);
    write_bytes(f, data, image_bytes(width, height, lbpx));
    return close_checked(f, name, -1);
}

/* One .bin record: the event line, then a raw record, through one stream,
 * so that a record that cannot be written whole is cut back as a whole and
 * the file stays a sequence of whole records. */
static int append_bin_record(const char *name, int width, int height, int lbpx,
                             const unsigned char *data, const time_stamp *tm, unsigned event_id) {
    FILE *f = fopen(name, "a");
    if (!f)
        return report_open_failure(name);
    off_t keep = file_length(f);
    errno = 0;
    fprintf(f, "%d %d %d\n", (int)event_id, (int)tm->timeup, (int)tm->timelow);
    put_raw_record(f, width, height, lbpx, data);
    return close_checked(f, name, keep);
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
        if (opt.imbin) {
            n = snprintf(file_name, 256, "%s/%s.bin", opt.imdir, channel_nosl);
        } else {
            time_t tt = (time_t)tm->timeup;
            char ct[64] = {0};
            const char *c = ctime(&tt);
            if (c)
                snprintf(ct, sizeof ct, "%s", c);
            size_t ctl = strlen(ct);
            if (ctl > 0 && ct[ctl - 1] == '\n')
                ct[ctl - 1] = '\0';
            n = snprintf(file_name, 256, "%s/%s_%d_%s_%d%s", opt.imdir, channel_nosl, (int)event_id,
                         ct, (int)(tm->timelow / 1000), ext);
        }
    } else {
        n = snprintf(file_name, 256, "%s/%s", opt.imdir, channel);
    }
    for (char *c = file_name; *c; c++)
        if (*c == ' ')
            *c = '_';
    if (n < 0 || n > 255) {
        fprintf(stderr, "grab: file name too long: %s\n", file_name);
        korvel_output_failed("image file", file_name, ENAMETOOLONG);
        return -2;
    }
    return 0;
}

int write_image_to_file(int width, int height, int lbpx, unsigned char *data, time_stamp *tm,
                        unsigned event_id, const char *channel) {
    float left = -1;
    if (small_space_share(10, &left) != 0) {
        explain_space_refusal(left);
        return -5;
    }
    char file_name[256] = {0};
    if (opt.imbin) {
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
