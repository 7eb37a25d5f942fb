// korvel_format.cc - the event table's output buffer, number formatting
// and the preformatted pixel texts.
#include "korvel_format.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "korvel_state.h"

char out_buf[OUT_CAP + OUT_SLACK];
size_t out_len;
int out_errno;

/* Write n bytes to the table file; remember the first failure. */
static void out_write(const char *s, size_t n) {
    if (n == 0 || !fd)
        return;
    errno = 0;
    if (fwrite(s, 1, n, fd) != n && out_errno == 0)
        out_errno = errno ? errno : EIO;
}

void out_flush() {
    out_write(out_buf, out_len);
    out_len = 0;
}

void out_stream_setup(FILE *f) {
    setvbuf(f, nullptr, _IONBF, 0);
}

void out_bytes(const char *s, size_t n) {
    if (out_len + n <= OUT_CAP) {
        memcpy(out_buf + out_len, s, n);
        out_len += n;
        return;
    }
    out_flush();
    if (n >= OUT_CAP / 2) {
        out_write(s, n);
        return;
    }
    memcpy(out_buf, s, n);
    out_len = n;
}

char *fmt_int(char *p, int v) {
    return std::to_chars(p, p + FMT_MAX, v).ptr;
}

/* printf's "%X" of the int's bits: upper-case digits, no leading zeros. */
char *fmt_hex(char *p, int v) {
    static const char digits[] = "0123456789ABCDEF";
    unsigned u = (unsigned)v;
    char tmp[8];
    int n = 0;
    do {
        tmp[n++] = digits[u & 15u];
        u >>= 4;
    } while (u);
    *p++ = '0';
    *p++ = 'x';
    while (n)
        *p++ = tmp[--n];
    return p;
}

/* to_chars spells infinities and NaNs as glibc's printf does: "inf",
 * "-inf", "nan", "-nan". It is exact but slow with a precision (it works
 * through the double's full decimal expansion), so the two functions
 * below take a short exact path for the floats that need no more and
 * leave everything else to it. */
static char *fmt_fixed_slow(char *p, float v) {
    return std::to_chars(p, p + FMT_MAX, (double)v, std::chars_format::fixed, 6).ptr;
}

static char *fmt_exp_slow(char *p, float v, int precision) {
    return std::to_chars(p, p + FMT_MAX, (double)v, std::chars_format::scientific,
                         precision).ptr;
}

/* Exactly `width` decimal digits of u (zero-padded), at p. */
static char *put_digits(char *p, uint64_t u, int width) {
    for (int k = width - 1; k >= 0; k--) {
        p[k] = (char)('0' + u % 10);
        u /= 10;
    }
    return p + width;
}

/* Round y (>= 0, an exact double) to an integer, ties to even. */
static inline uint64_t round_even(double y) {
    uint64_t n = (uint64_t)y;
    double r = y - (double)n;  // exact: n is y without its fraction
    if (r > 0.5 || (r == 0.5 && (n & 1)))
        n++;
    return n;
}

/* A float times 10^6 has at most 24 + 14 significant bits (10^6 is 2^6 *
 * 15625), so the product is exact in a double and the six decimals are
 * plain integer arithmetic. Beyond 10^12 (and for infinities and NaNs)
 * the slow path. */
char *fmt_fixed(char *p, float v) {
    double ax = std::fabs((double)v);
    if (!(ax < 1e12))
        return fmt_fixed_slow(p, v);
    uint64_t n = round_even(ax * 1e6);
    if (std::signbit(v))
        *p++ = '-';
    p = std::to_chars(p, p + FMT_MAX, n / 1000000u).ptr;
    *p++ = '.';
    return put_digits(p, n % 1000000u, 6);
}

/* 10^k for k = 0..30; exact in a double up to 10^22, correctly rounded
 * beyond. */
static const double pow10_tab[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10,
    1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21,
    1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29, 1e30};

/* ax * 10^k with at most four roundings, for the k that floats need
 * (-38 to 51). */
static inline double scale10(double ax, int k) {
    if (k >= 0)
        return k <= 30 ? ax * pow10_tab[k] : ax * 1e30 * pow10_tab[k - 30];
    return -k <= 30 ? ax / pow10_tab[-k] : ax / 1e30 / pow10_tab[-k - 30];
}

/* "%.<precision>e": the float scaled to an integer of precision + 1
 * digits and rounded. The scaling is off by a few units in the last place
 * of the double at most, far below the float's own resolution; only a
 * value that lies (almost) exactly halfway between two outputs, where
 * that error could decide the rounding, takes the exact slow path. */
char *fmt_exp(char *p, float v, int precision) {
    double ax = std::fabs((double)v);
    if (!(ax <= 3.5e38) || precision < 0 || precision > 6)
        return fmt_exp_slow(p, v, precision);
    const uint64_t lo = (uint64_t)pow10_tab[precision];  // 10^precision
    int e10 = 0;
    uint64_t n = 0;
    if (ax != 0) {
        int e2 = 0;
        std::frexp(ax, &e2);
        // floor(log10(ax)), or one below: 2^(e2-1) <= ax < 2^e2.
        e10 = (int)std::floor((e2 - 1) * 0.30102999566398120);
        double y = scale10(ax, precision - e10);
        if (y >= (double)(lo * 10)) {
            e10++;
            y = scale10(ax, precision - e10);
        }
        double f = y - std::floor(y);
        if (std::fabs(f - 0.5) <= y * 1e-14)
            return fmt_exp_slow(p, v, precision);
        n = (uint64_t)y + (f > 0.5);
        if (n < lo)  // cannot happen: e10 is never above floor(log10(ax))
            return fmt_exp_slow(p, v, precision);
        if (n >= lo * 10) {  // rounded up to the next power of ten
            n /= 10;
            e10++;
        }
    }
    if (std::signbit(v))
        *p++ = '-';
    *p++ = (char)('0' + n / lo);
    if (precision > 0) {
        *p++ = '.';
        p = put_digits(p, n % lo, precision);
    }
    *p++ = 'e';
    *p++ = e10 < 0 ? '-' : '+';
    unsigned ue = (unsigned)(e10 < 0 ? -e10 : e10);
    return ue < 100 ? put_digits(p, ue, 2) : put_digits(p, ue, 3);
}

static pixel_text *texts_tab;
static pixel_text *texts_blank;
static bool texts_failed;

/* Fill both tables at once; 65536 small to_chars calls, done once a run. */
static void pixel_texts_make() {
    if (texts_tab || texts_failed)
        return;
    pixel_text *t = (pixel_text *)calloc(65536, sizeof(pixel_text));
    pixel_text *b = (pixel_text *)calloc(65536, sizeof(pixel_text));
    if (!t || !b) {
        free(t);
        free(b);
        texts_failed = true;
        return;
    }
    for (int v = 0; v < 65536; v++) {
        char *e = std::to_chars(t[v].s, t[v].s + 6, v).ptr;
        *e++ = '\t';
        t[v].n = (uint8_t)(e - t[v].s);
        b[v].s[0] = ' ';
        e = std::to_chars(b[v].s + 1, b[v].s + 7, v).ptr;
        b[v].n = (uint8_t)(e - b[v].s);
    }
    texts_tab = t;
    texts_blank = b;
}

const pixel_text *pixel_texts_tab() {
    pixel_texts_make();
    return texts_tab;
}

const pixel_text *pixel_texts_blank() {
    pixel_texts_make();
    return texts_blank;
}

void pixel_texts_release() {
    free(texts_tab);
    free(texts_blank);
    texts_tab = texts_blank = nullptr;
    texts_failed = false;
}
