// korvel_format.cc - the event table's output buffer, number formatting
// and the preformatted pixel texts.
#include "korvel_format.h"

#include <cerrno>
#include <charconv>
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
 * "-inf", "nan", "-nan". */
char *fmt_fixed(char *p, float v) {
    return std::to_chars(p, p + FMT_MAX, (double)v, std::chars_format::fixed, 6).ptr;
}

char *fmt_exp(char *p, float v, int precision) {
    return std::to_chars(p, p + FMT_MAX, (double)v, std::chars_format::scientific,
                         precision).ptr;
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
