// korvel_format.cc - the event table's output buffer, number formatting
// and the preformatted pixel texts.
#include "korvel_format.h"

#include <cerrno>
#include <cfloat>
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
        out_errno = korvel_io_errno();
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

/* The digit tables declared in the header. */
const char fmt_digit_pairs[201] = "0001020304050607080910111213141516171819"
                                  "2021222324252627282930313233343536373839"
                                  "4041424344454647484950515253545556575859"
                                  "6061626364656667686970717273747576777879"
                                  "8081828384858687888990919293949596979899";

const uint32_t fmt_pow10[10] = {1u,      10u,      100u,      1000u,      10000u,
                                100000u, 1000000u, 10000000u, 100000000u, 1000000000u};

/* Exactly `width` decimal digits of u (zero-padded, u < 10^width), at p. */
static char *put_digits(char *p, uint32_t u, int width) {
    char *q = p + width;
    for (; q - p >= 2; u /= 100) {
        q -= 2;
        memcpy(q, fmt_digit_pairs + 2 * (u % 100), 2);
    }
    if (q > p)
        *p = (char)('0' + u);
    return p + width;
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
 * through the double's full decimal expansion), so the functions below
 * take short exact paths for the floats that need no more and leave
 * everything else to it. */
static char *fmt_fixed_slow(char *p, float v) {
    return std::to_chars(p, p + FMT_MAX, (double)v, std::chars_format::fixed, 6).ptr;
}

static char *fmt_exp_slow(char *p, float v, int precision) {
    return std::to_chars(p, p + FMT_MAX, (double)v, std::chars_format::scientific, precision).ptr;
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
    return put_digits(p, (uint32_t)(n % 1000000u), 6);
}

/* ---- "%.<precision>e" ----
 *
 * Widened to double, every finite non-zero float has an exponent that
 * tells its binade, subnormals included: binade 0 is [2^-149, 2^-148),
 * binade 276 is [2^127, 2^128). A binade spans a factor of two, so its
 * values have the decimal exponent of its smallest value or the one
 * above. The text is "d.ddde+XX": floats never need a third exponent
 * digit (they reach from 1.4e-45 to 3.4e+38). */
#define FLOAT_BINADES 277

/* Binade of ax, the magnitude of a float widened to double; FLOAT_BINADES
 * or more for zero, infinities and NaNs. */
static inline unsigned float_binade(double ax) {
    uint64_t b;
    memcpy(&b, &ax, sizeof b);
    return (unsigned)(b >> 52) - (1023u - 149u);
}

// "%.e" (one significant digit) has nine outputs per decimal exponent,
// from 1e-45 (the smallest subnormal) to 9e+38; output j is the digit
// j % 9 + 1 with the exponent j / 9 - 45.
#define EXP0_LOWEST_E10 (-45)
#define EXP0_OUTPUTS    (84 * 9)

// Tables of the exponent forms, filled on first use (exp_tables_make) and
// constant afterwards. They depend on nothing but the float format.
static struct {
    bool ready;  // the tables below are filled
    // Decimal exponent of binade b's smallest value, floor(log10(2^(b-149))).
    int e10[FLOAT_BINADES];
    // 10^-e10[b], rounded: it only has to put the leading digit within one.
    double scale[FLOAT_BINADES];
    // Bits of the smallest float whose "%.e" is output j or a later one:
    // where the rounding (half to even, as printf's) goes up to output j.
    // 0x7f800000, the bits of infinity, for outputs no float reaches; the
    // two entries past the last output hold it too.
    uint32_t first[EXP0_OUTPUTS + 2];
    // "%.e" of output j without its sign: five bytes in an 8-byte slot,
    // so that it is written with one fixed-width copy.
    char text[EXP0_OUTPUTS + 1][8];
} exp_tables;

/* Output index of the exact formatter's "%.e" of the finite float with
 * these bits; -1 for zero. */
static int exp0_output_of(uint32_t bits) {
    float v;
    memcpy(&v, &bits, sizeof v);
    char t[FMT_MAX];
    fmt_exp_slow(t, v, 0);  // "de+XX" or "de-XX"
    if (t[0] == '0')
        return -1;
    int e = (t[3] - '0') * 10 + (t[4] - '0');
    return ((t[2] == '-' ? -e : e) - EXP0_LOWEST_E10) * 9 + (t[0] - '1');
}

/* Bits of the smallest float whose "%.e" is output j or later. It lies
 * next to the float nearest the boundary below output j (halfway to the
 * output before it); which neighbour it is, the exact formatter tells. */
static uint32_t exp0_first_float(int j) {
    int d = j % 9 + 1;
    double boundary = (d == 1 ? 0.95 : d - 0.5) * std::pow(10.0, j / 9 + EXP0_LOWEST_E10);
    uint32_t t = boundary > FLT_MAX ? 0x7f800000u : (uint32_t)float_bits((float)boundary);
    while (t > 0 && exp0_output_of(t - 1) >= j)
        t--;
    while (t < 0x7f800000u && exp0_output_of(t) < j)
        t++;
    return t;
}

/* Fill exp_tables: some 2000 exact conversions, once a process. */
static void exp_tables_make() {
    for (int b = 0; b < FLOAT_BINADES; b++) {
        // (b - 149) * log10(2) comes no closer than 0.004 to an integer
        // (except at 0, where it is one), so the rounded product has the
        // right floor.
        int e10 = (int)std::floor((b - 149) * 0.30102999566398120);
        exp_tables.e10[b] = e10;
        exp_tables.scale[b] = std::pow(10.0, -e10);
    }
    for (int j = 0; j <= EXP0_OUTPUTS; j++) {
        int e10 = j / 9 + EXP0_LOWEST_E10;
        unsigned ue = (unsigned)(e10 < 0 ? -e10 : e10);
        char *t = exp_tables.text[j];
        t[0] = (char)('1' + j % 9);
        t[1] = 'e';
        t[2] = e10 < 0 ? '-' : '+';
        memcpy(t + 3, fmt_digit_pairs + 2 * ue, 2);
    }
    for (int j = 0; j < EXP0_OUTPUTS; j++)
        exp_tables.first[j] = exp0_first_float(j);
    exp_tables.first[EXP0_OUTPUTS] = exp_tables.first[EXP0_OUTPUTS + 1] = 0x7f800000u;
    exp_tables.ready = true;
}

/* "0e+00", "0.00e+00", ... with the sign of v. */
static char *put_exp_zero(char *p, float v, int precision) {
    if (std::signbit(v))
        *p++ = '-';
    *p++ = '0';
    if (precision > 0) {
        *p++ = '.';
        memset(p, '0', (size_t)precision);
        p += precision;
    }
    memcpy(p, "e+00", 4);
    return p + 4;
}

/* "%.e". The leading digit of ax / 10^e10, cut to an integer, is that of
 * the output or the one below it (the product may land on either side of
 * an integer it comes close to, which still leaves the rounded digit one
 * of the two); the output is the next one exactly when v reaches its
 * first float. Digit 10 stands for 1 with the next exponent, as does
 * everything up to 19, where the binade's values spill into it. */
static char *fmt_exp0(char *p, float v) {
    double ax = std::fabs((double)v);
    unsigned b = float_binade(ax);
    if (b >= FLOAT_BINADES)
        return ax == 0 ? put_exp_zero(p, v, 0) : fmt_exp_slow(p, v, 0);
    if (!exp_tables.ready)
        exp_tables_make();
    int d = (int)(ax * exp_tables.scale[b]);
    int j = (exp_tables.e10[b] - EXP0_LOWEST_E10) * 9 + (d < 10 ? d : 10) - 1;
    uint32_t u = (uint32_t)float_bits(v) & 0x7fffffffu;
    j += u >= exp_tables.first[j + 1];
    *p = '-';
    p += std::signbit(v);
    memcpy(p, exp_tables.text[j], 8);
    return p + 5;
}

/* 10^k for k = 0..51; exact in a double up to 10^22, correctly rounded
 * beyond. */
static const double pow10_tab[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10,
                                   1e11, 1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21,
                                   1e22, 1e23, 1e24, 1e25, 1e26, 1e27, 1e28, 1e29, 1e30, 1e31, 1e32,
                                   1e33, 1e34, 1e35, 1e36, 1e37, 1e38, 1e39, 1e40, 1e41, 1e42, 1e43,
                                   1e44, 1e45, 1e46, 1e47, 1e48, 1e49, 1e50, 1e51};

/* ax * 10^k for the k that floats need (-39 to 51), with one rounding
 * where 10^|k| is exact. */
static inline double scale10(double ax, int k) {
    return k >= 0 ? ax * pow10_tab[k] : ax / pow10_tab[-k];
}

/* Whether the rounding of y = ax * 10^k (precision + 1 digits before the
 * point, y < 10^7) can be read off the computed y even next to a half:
 *  - k = 0..12: the float's 24 bits times 5^k fit in a double's 53, the
 *    product is exact;
 *  - k = precision-14..-1: 10^-k is exact and the quotient correctly
 *    rounded. An integer v (every v from 2^23 on is one) is then at least
 *    10^k / 2 from a half, a v with a fraction at least its last bit
 *    (2^-24 of it) away, either more than the rounding moves y; and a y
 *    that is exactly a half comes out exactly.
 * Elsewhere no float lies exactly halfway (it would take more factors of
 * 2 or 5 than 24 bits hold), and only a y within a hair of a half needs
 * the exact formatter. */
static inline bool exp_rounding_exact(int k, int precision) {
    return k <= 12 && k >= precision - 14;
}

/* "%.<precision>e" for 1..6 digits after the point: v scaled by a power
 * of ten from the table to precision + 1 digits before the point, rounded
 * half to even. */
static char *fmt_exp_digits(char *p, float v, int precision) {
    double ax = std::fabs((double)v);
    unsigned b = float_binade(ax);
    if (b >= FLOAT_BINADES)
        return ax == 0 ? put_exp_zero(p, v, precision) : fmt_exp_slow(p, v, precision);
    if (!exp_tables.ready)
        exp_tables_make();
    int e10 = exp_tables.e10[b];
    double y = scale10(ax, precision - e10);
    if (y >= pow10_tab[precision + 1]) {  // v lies in the binade's upper decade
        e10++;
        y = scale10(ax, precision - e10);
    }
    uint32_t n = (uint32_t)y;
    double f = y - (double)n;  // exact: n is y without its fraction
    if (std::fabs(f - 0.5) <= y * 1e-14 && !exp_rounding_exact(precision - e10, precision))
        return fmt_exp_slow(p, v, precision);
    n += f > 0.5 || (f == 0.5 && (n & 1));
    const uint32_t unit = fmt_pow10[precision];
    if (n >= unit * 10) {  // rounded up to the next power of ten
        n = unit;
        e10++;
    }
    if (std::signbit(v))
        *p++ = '-';
    *p++ = (char)('0' + n / unit);
    *p++ = '.';
    p = put_digits(p, n % unit, precision);
    *p++ = 'e';
    *p++ = e10 < 0 ? '-' : '+';
    memcpy(p, fmt_digit_pairs + 2 * (e10 < 0 ? -e10 : e10), 2);
    return p + 2;
}

char *fmt_exp(char *p, float v, int precision) {
    if (precision == 0)
        return fmt_exp0(p, v);
    if (precision < 0 || precision > 6)
        return fmt_exp_slow(p, v, precision);
    return fmt_exp_digits(p, v, precision);
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
