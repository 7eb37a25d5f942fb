// korvel_format.h - the event table's output buffer and number formatting.
//
// Formatting is the plug-in's hot path: a megapixel camera alone gives
// millions of numbers per event. Every number gets exactly the bytes of
// the printf conversion named at each function (the tests compare the two
// over many values), by integer arithmetic and small tables, with
// std::to_chars as the exact fallback for what they leave; the table's
// bytes are collected in one large buffer that is handed to the table
// file's stdio stream in big chunks.
//
// Invariant: out_len <= OUT_CAP. A writer that wants to format in place
// asks out_reserve(n) for n bytes (n <= OUT_CAP) and publishes what it
// wrote with out_commit(); OUT_SLACK bytes past the reserve may be
// scribbled on by fixed-width copies.
#ifndef KORVEL_FORMAT_H
#define KORVEL_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#define OUT_CAP   (1u << 20)
#define OUT_SLACK 64u

// Longest text of any fmt_* function below, with room to spare: "%f" of
// the largest float is 47 characters.
#define FMT_MAX 64

// ---- Output buffer of the event table (drained into `fd`) ----
extern char out_buf[OUT_CAP + OUT_SLACK];
extern size_t out_len;
// errno of the first failed write into the table file, 0 while none failed.
extern int out_errno;

// Hand the buffered bytes to the table file's stream. A failed write is
// remembered in out_errno and reported at the end of the run.
void out_flush();
// Make f the table file's stream: unbuffered, because out_buf is its
// buffer and a second one would copy every byte once more.
void out_stream_setup(FILE *f);
// At the end of an event's row the bytes are handed over once at least
// OUT_HANDOVER of them have collected, so that every write is large also
// when rows are small.
#define OUT_HANDOVER (OUT_CAP / 4)
static inline void out_event_end() {
    if (out_len >= OUT_HANDOVER)
        out_flush();
}
// Append n bytes; large blocks go straight to the stream.
void out_bytes(const char *s, size_t n);

// Room for n bytes at the end of the buffer (n <= OUT_CAP).
static inline char *out_reserve(size_t n) {
    if (out_len + n > OUT_CAP)
        out_flush();
    return out_buf + out_len;
}
static inline void out_commit(char *end) {
    out_len = (size_t)(end - out_buf);
}

static inline void out_char(char c) {
    if (out_len >= OUT_CAP)
        out_flush();
    out_buf[out_len++] = c;
}
static inline void out_str(const char *s) {
    out_bytes(s, strlen(s));
}

// ---- Numbers; each writes at most FMT_MAX bytes at p, returns the end ----
// fmt_int, fmt_hex and fmt_fixed write nothing past the end they return;
// fmt_exp may (a fixed-width copy), within its FMT_MAX bytes.
char *fmt_hex(char *p, int v);      // "0x%X"
char *fmt_fixed(char *p, float v);  // "%f" of v widened to double
// "%.<precision>e" of v widened to double. The first call makes the
// tables the exponent forms are read from (well under a millisecond).
char *fmt_exp(char *p, float v, int precision);

// "00" to "99" (digits are written two at a time) and 10^0 to 10^9, for
// fmt_int here and the formatters of korvel_format.cc.
extern const char fmt_digit_pairs[201];
extern const uint32_t fmt_pow10[10];

// Decimal digits of u (1 for 0). A number of b bits has
// floor(b * log10(2)) digits or one more; 1233 / 4096 is log10(2) close
// enough for every b up to 32.
static inline int fmt_decimal_length(uint32_t u) {
    int bits = 32 - __builtin_clz(u | 1u);
    int n = (bits * 1233) >> 12;
    return n + ((u | 1u) >= fmt_pow10[n]);
}

// "%d": the length first, then the digits two at a time from the right.
// Inline, as every spectrum value in integer form goes through it; the
// sign is written without a branch (a digit overwrites it when there is
// none).
static inline char *fmt_int(char *p, int v) {
    uint32_t u = v < 0 ? 0u - (uint32_t)v : (uint32_t)v;
    *p = '-';
    p += v < 0;
    char *end = p + fmt_decimal_length(u);
    for (p = end; u >= 100; u /= 100) {
        p -= 2;
        memcpy(p, fmt_digit_pairs + 2 * (u % 100), 2);
    }
    if (u >= 10)
        memcpy(p - 2, fmt_digit_pairs + 2 * u, 2);
    else
        p[-1] = (char)('0' + u);
    return end;
}

// The 32 bits of a float read as a signed int (the "integer form").
static inline int float_bits(float v) {
    int32_t i;
    memcpy(&i, &v, sizeof i);
    return i;
}
// True for infinities and NaNs (all exponent bits set).
static inline bool float_invalid(float v) {
    return (float_bits(v) & 0x7f800000) == 0x7f800000;
}

// ---- Pixel texts ----
// Decimal text of every 16-bit value followed by one separator byte, in a
// fixed 8-byte slot, so that a pixel is written with one 8-byte copy: the
// tab form "123\t" for tab mode, the blank form " 123" for HDF5 mode.
struct pixel_text {
    char s[7];
    uint8_t n;  // bytes of s that belong to the text
};
// The two tables, filled on first use; null when they could not be made.
const pixel_text *pixel_texts_tab();
const pixel_text *pixel_texts_blank();
// Give the tables back (at unload).
void pixel_texts_release();

#endif
