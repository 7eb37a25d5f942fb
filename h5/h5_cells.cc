// h5_cells.cc - the grammar of every kind of cell, in both dialects, and
// the numbers inside them.
//
// A cell is read by the grammar of one kind at a time: the survey tries
// the kinds a cell could be, the conversion reads it by the kind decided
// for its channel. Each reader returns what the cell says (data, none,
// empty) or that it does not read as that kind. Pixel lists are the
// largest cells (a megapixel camera is several MB of text), so their
// numbers are read by the readers of h5_pixels.cc; spectrum values in the forms the
// plug-in writes most ("%.e", the integer form) are looked up or read in
// one pass with their end; the other numbers of spectra, blocks and single
// values are read by number_at, which finds a number's end while it reads
// its digits. Texts number_at leaves alone (other shapes, extreme
// magnitudes) go through parse_number_exact, which also tells the printf
// forms of the kinds apart.
#include "h5_converter.h"
#include "h5_numbers.h"
#include "h5_pixels.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

// ---- Numbers ------------------------------------------------------------------

static inline bool is_digit(char c) {
    return (unsigned)(c - '0') < 10u;
}

// "%d" of a 32-bit pattern: an optional '-' and 1 to 10 digits, in the
// range of int32.
bool parse_i32(const char *b, const char *e, int32_t *out) {
    bool neg = b < e && *b == '-';
    const char *p = b + neg;
    if (p == e || e - p > 10)
        return false;
    int64_t v = 0;
    for (; p < e; p++) {
        if (!is_digit(*p))
            return false;
        v = v * 10 + (*p - '0');
    }
    if (neg)
        v = -v;
    if (v < INT32_MIN || v > INT32_MAX)
        return false;
    *out = (int32_t)v;
    return true;
}

// "0x%X": "0x" and 1 to 8 hexadecimal digits.
bool parse_hex32(const char *b, const char *e, int32_t *out) {
    if (e - b < 3 || e - b > 10 || b[0] != '0' || (b[1] != 'x' && b[1] != 'X'))
        return false;
    uint32_t v = 0;
    for (const char *p = b + 2; p < e; p++) {
        unsigned d;
        if (is_digit(*p))
            d = (unsigned)(*p - '0');
        else if (*p >= 'A' && *p <= 'F')
            d = (unsigned)(*p - 'A' + 10);
        else if (*p >= 'a' && *p <= 'f')
            d = (unsigned)(*p - 'a' + 10);
        else
            return false;
        v = v << 4 | d;
    }
    *out = (int32_t)v;
    return true;
}

// True when [b, e) is an optional '-' and digits only: the integer form,
// in which the plug-in prints a float's bit pattern.
static bool is_integer_text(const char *b, const char *e) {
    const char *p = b + (b < e && *b == '-');
    if (p == e)
        return false;
    for (; p < e; p++)
        if (!is_digit(*p))
            return false;
    return true;
}

// Which printf form a number text has: the forms keep the kinds apart
// ("%f" values have a point and no exponent, "%.2e" items both, "%.e"
// spectrum values an exponent and no point).
static unsigned number_form(const char *b, const char *e) {
    if (is_integer_text(b, e))
        return FORM_INT;
    if (e - b == 7 && memcmp(b, "Invalid", 7) == 0)
        return FORM_INVALID;
    const char *p = b + (b < e && *b == '-');
    if ((e - p == 3 && (memcmp(p, "inf", 3) == 0 || memcmp(p, "nan", 3) == 0)))
        return FORM_SPECIAL;
    bool point = false, exp = false;
    for (const char *c = p; c < e; c++)
        point |= *c == '.', exp |= *c == 'e';
    if (exp)
        return point ? FORM_EXP_POINT : FORM_EXP;
    return point ? (unsigned)FORM_FIXED : 0u;
}

bool parse_number_exact(const char *b, const char *e, unsigned forms, float *out, bool *int_form) {
    unsigned form = number_form(b, e);
    if (!(form & forms))
        return false;
    *int_form = form == FORM_INT;
    if (form == FORM_INT) {
        int32_t bits;
        if (!parse_i32(b, e, &bits))
            return false;
        memcpy(out, &bits, sizeof *out);
        return true;
    }
    if (form == FORM_INVALID) {
        *out = std::numeric_limits<float>::quiet_NaN();
        return true;
    }
    // from_chars takes no '+'; the plug-in never writes one before a value.
    auto r = std::from_chars(b, e, *out, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == e;
}

// ---- Numbers read with their end ------------------------------------------------
//
// A decimal text is an integer N (its digits without the point) times a
// power of ten 10^x. Where N and 10^|x| are exact doubles, one double
// operation gives the nearest double to the value, and rounding that to
// float gives the nearest float -- the same float from_chars gives --
// unless the double lands on a point halfway between two floats that the
// value itself is not on. It cannot, in these cases:
//  - x >= 0 and N·10^x < 2^63: the integer is exact and converted once;
//  - x = -k with k <= 8 and N < 2^53: a halfway point is M·2^-s with
//    M < 2^25; a value N/10^k that is not on it is at least 1/(10^k·2^s)
//    away, more than half a double's step (value·2^-53) as 10^k·2^25 <
//    2^53 (for halfway points that are integers: at least 1/10^k, more
//    than value·2^-53 as N < 2^53);
//  - x = -k with k <= 12 and N < 2^24: then s >= k, both terms of the
//    distance are multiples of 2^k, so it is at least 1/(5^k·2^s), and
//    5^k·2^25 < 2^53.
// Every "%f" of a float below 9·10^9, every "%.2e" from 1e-10 to 9.2e+18 and
// every "%e" from 1e-06 on is read so; the rest by from_chars.

static const double POW10_DOUBLE[13] = {1e0, 1e1, 1e2, 1e3,  1e4,  1e5, 1e6,
                                        1e7, 1e8, 1e9, 1e10, 1e11, 1e12};
static const int64_t POW10_INT[19] = {1,
                                      10,
                                      100,
                                      1000,
                                      10000,
                                      100000,
                                      1000000,
                                      10000000,
                                      100000000,
                                      1000000000,
                                      10000000000,
                                      100000000000,
                                      1000000000000,
                                      10000000000000,
                                      100000000000000,
                                      1000000000000000,
                                      10000000000000000,
                                      100000000000000000,
                                      1000000000000000000};

// The most digits N may have: 19 always fit 64 bits.
static const int MAX_DIGITS = 19;

// N·10^x as the nearest float when the cases above allow it.
static bool scaled_float(uint64_t n, int x, float *out) {
    if (n == 0 && x >= -99 && x <= 99) {
        *out = 0.0f;
        return true;
    }
    if (x >= 0) {
        if (x > 18 || n > (uint64_t)(INT64_MAX / POW10_INT[x]))
            return false;
        *out = (float)(int64_t)(n * (uint64_t)POW10_INT[x]);
        return true;
    }
    int k = -x;
    if ((k <= 8 && n < (1ull << 53)) || (k <= 12 && n < (1ull << 24))) {
        *out = (float)((double)n / POW10_DOUBLE[k]);
        return true;
    }
    return false;
}

// Digits at p (before e) onto *n; at most `room` of them. Returns the
// position after them; *count gets how many there were, room + 1 when
// there were more.
static const char *digits_at(const char *p, const char *e, int room, uint64_t *n, int *count) {
    const char *start = p;
    uint64_t v = *n;
    while (p < e && is_digit(*p) && p - start < room)
        v = v * 10 + (uint64_t)(*p++ - '0');
    *n = v;
    *count = (int)(p - start) + (p < e && is_digit(*p));
    return p;
}

// The exponent "e[+-]D+" at p (1 to 4 digits) into *x. Null when it does
// not read so.
static const char *exponent_at(const char *p, const char *e, int *x) {
    if (e - p < 3 || (p[1] != '+' && p[1] != '-') || !is_digit(p[2]))
        return nullptr;
    uint64_t v = 0;
    int count;
    const char *q = digits_at(p + 2, e, 4, &v, &count);
    if (count > 4)
        return nullptr;
    *x = p[1] == '-' ? -(int)v : (int)v;
    return q;
}

// The integer form: parse_i32's grammar (at most 10 digits, in int32).
static bool int_form_bits(bool neg, uint64_t n, int count, float *out) {
    if (count > 10)
        return false;
    int64_t v = neg ? -(int64_t)n : (int64_t)n;
    if (v < INT32_MIN || v > INT32_MAX)
        return false;
    int32_t bits = (int32_t)v;
    memcpy(out, &bits, sizeof *out);
    return true;
}

// What number_scan made of a number text of a plain shape.
enum Scanned {
    SCANNED_VALUE,       // read: *out holds its value
    SCANNED_OTHER_FORM,  // its form is not one of `forms`: no value
    SCANNED_SLOW         // its value needs parse_number_exact
};

// The number text at p in the shapes number_at reads, up to its end,
// which is returned (null: another shape), with what was made of it.
static const char *number_scan(const char *p, const char *e, unsigned forms, float *out,
                               bool *int_form, Scanned *what) {
    *what = SCANNED_SLOW;
    bool neg = p < e && *p == '-';
    uint64_t n = 0;
    int whole, frac = 0, x = 0;
    const char *c = digits_at(p + neg, e, MAX_DIGITS, &n, &whole);
    if (whole == 0 || whole > MAX_DIGITS)
        return nullptr;
    bool point = c < e && *c == '.';
    if (point) {
        c = digits_at(c + 1, e, MAX_DIGITS - whole, &n, &frac);
        if (frac == 0 || frac > MAX_DIGITS - whole)
            return nullptr;
    }
    bool exp = c < e && *c == 'e';
    if (exp && !(c = exponent_at(c, e, &x)))
        return nullptr;
    unsigned form = point ? (exp ? FORM_EXP_POINT : FORM_FIXED) : (exp ? FORM_EXP : FORM_INT);
    float v;
    if (!(form & forms))
        *what = SCANNED_OTHER_FORM;
    else if (form == FORM_INT ? int_form_bits(neg, n, whole, &v) : scaled_float(n, x - frac, &v)) {
        *what = SCANNED_VALUE;
        *out = form == FORM_INT || !neg ? v : -v;  // the integer form carries its sign
        *int_form = form == FORM_INT;
    }
    return c;
}

const char *number_at(const char *p, const char *e, unsigned forms, float *out, bool *int_form) {
    Scanned what;
    const char *q = number_scan(p, e, forms, out, int_form, &what);
    return what == SCANNED_VALUE ? q : nullptr;
}

// A text whose start number_scan read up to q, before its end e, is no
// number at all: from_chars stops at q too, as the only byte that could
// take a plain number further is an 'E' (an exponent parse_number_exact
// takes, in a text it reads as "%f").
static bool text_goes_on(const char *q, const char *e) {
    return q != e && *q != 'E';
}

// Whether [b, e) can be a number at all: from_chars reads nothing that
// does not begin, after an optional '-', with a digit, a point, or the
// first letter of "inf" or "nan"; "Invalid" is the one word besides.
static bool may_be_number(const char *b, const char *e) {
    const char *c = b + (b < e && *b == '-');
    return c < e && (is_digit(*c) || (*c != '\0' && strchr(".iInN", *c) != nullptr));
}

bool parse_number(const char *b, const char *e, unsigned forms, float *out, bool *int_form) {
    Scanned what;
    const char *q = number_scan(b, e, forms, out, int_form, &what);
    if (q == e && what == SCANNED_VALUE)
        return true;
    // A cell read by a kind it is not (the survey tries every kind) is
    // turned down here without a second look at its bytes.
    if (q ? text_goes_on(q, e) || what == SCANNED_OTHER_FORM : !may_be_number(b, e))
        return false;
    return parse_number_exact(b, e, forms, out, int_form);
}

// ---- Cells every kind shares ---------------------------------------------------------

static bool text_is(const char *b, const char *e, const char *lit) {
    size_t n = strlen(lit);
    return (size_t)(e - b) == n && memcmp(b, lit, n) == 0;
}

// An empty cell, or the cell of a channel the event does not hold ("[]",
// "Not found"): those read the same whatever the kind. Returns the
// presence, or PRESENT_BAD when the cell is neither.
static Presence cell_common(Dialect d, const char *b, const char *e) {
    if (b == e)
        return PRESENT_EMPTY;
    if (text_is(b, e, d == DIALECT_HDF5 ? "[]" : "Not found"))
        return PRESENT_NONE;
    return PRESENT_BAD;
}

Presence cell_marker(Dialect d, const char *b, const char *e) {
    Presence c = cell_common(d, b, e);
    if (c != PRESENT_BAD)
        return c;
    return text_is(b, e, "1\t") ? PRESENT_DATA : PRESENT_BAD;
}

// ---- Single values -------------------------------------------------------------------

// HDF5 dialect "[[X]]", tab dialect "X" and a tab.
Presence cell_value(Dialect d, const char *b, const char *e, float *out, bool *int_form) {
    Presence c = cell_common(d, b, e);
    if (c != PRESENT_BAD)
        return c;
    if (d == DIALECT_HDF5) {
        if (e - b < 5 || memcmp(b, "[[", 2) != 0 || memcmp(e - 2, "]]", 2) != 0)
            return PRESENT_BAD;
        b += 2, e -= 2;
    } else {
        if (e - b < 2 || e[-1] != '\t')
            return PRESENT_BAD;
        e -= 1;
    }
    return parse_number(b, e, FORMS_VALUE, out, int_form) ? PRESENT_DATA : PRESENT_BAD;
}

const char *cell_value_at(const char *b, const char *limit, float *out, bool *int_form) {
    if (limit - b < 5 || b[0] != '[' || b[1] != '[')
        return nullptr;
    const char *q = number_at(b + 2, limit, FORMS_VALUE, out, int_form);
    if (!q || limit - q < 2 || q[0] != ']' || q[1] != ']' || (limit - q > 2 && q[2] != ','))
        return nullptr;
    return q + 2;
}

// ---- Name-value blocks ---------------------------------------------------------------

// Whether the ']' at q ends an item (just before `close`, or before
// the next item's opening).
static bool ends_item(Dialect d, const char *q, const char *close) {
    return q + 1 == close ||
           (d == DIALECT_HDF5 ? q[1] == '[' : (close - q > 2 && q[1] == '\t' && q[2] == '['));
}

// The end of the item that starts at `p` (just after its '['): the ']'
// followed by the next item's opening ("[" in the HDF5 dialect, a tab and
// "[" in the tab dialect) or standing last before `close`. A name may hold
// ']' itself, so a ']' followed by anything else belongs to the name.
static const char *item_end(Dialect d, const char *p, const char *close) {
    for (;;) {
        const char *q = (const char *)memchr(p, ']', (size_t)(close - p));
        if (!q)
            return nullptr;
        if (ends_item(d, q, close))
            return q;
        p = q + 1;
    }
}

// One item "name:value" (split at the last ':', as names may hold ':')
// or, without names, "value".
static bool read_item(const char *b, const char *e, ItemFn item, void *ctx, bool *nonvn,
                      bool *int_form) {
    const char *colon = nullptr;
    for (const char *p = e; p > b; p--)
        if (p[-1] == ':') {
            colon = p - 1;
            break;
        }
    float v;
    bool intf;
    const char *num = colon ? colon + 1 : b;
    if (!parse_number(num, e, FORMS_ITEM, &v, &intf))
        return false;
    *int_form |= intf;
    *nonvn = colon == nullptr;
    if (item)
        item(ctx, colon ? std::string_view(b, (size_t)(colon - b)) : std::string_view(), v);
    return true;
}

// The item at p (just after its '[') read forward in one pass, when it is
// plain: a name without ':' or ']' and its ':', or no name, then a number
// number_at reads up to the ']' that ends the item. That ']' is then the
// one item_end finds and the ':' the last one before it, so the item
// reads as read_item reads it. Returns that ']', or null (nothing
// reported) for any other item: read_item then reads it.
static const char *plain_item(Dialect d, const char *p, const char *close, ItemFn item, void *ctx,
                              bool *nonvn, bool *int_form) {
    const char *c = p;
    while (c < close && *c != ':' && *c != ']')
        c++;
    if (c == close)
        return nullptr;
    bool named = *c == ':';
    float v;
    bool intf;
    const char *q = number_at(named ? c + 1 : p, close, FORMS_ITEM, &v, &intf);
    if (!q || q == close || *q != ']' || (!named && q != c) || !ends_item(d, q, close))
        return nullptr;
    *int_form |= intf;
    *nonvn = !named;
    if (item)
        item(ctx, named ? std::string_view(p, (size_t)(c - p)) : std::string_view(), v);
    return q;
}

// HDF5 dialect "[" then "[item]" per item then "]"; tab dialect a tab,
// "{", the items "[item]" separated by tabs, "}".
Presence cell_block(Dialect d, const char *b, const char *e, ItemFn item, void *ctx, bool *nonvn,
                    bool *int_form) {
    Presence c = cell_common(d, b, e);
    if (c != PRESENT_BAD)
        return c;
    const char *open = d == DIALECT_HDF5 ? "[" : "\t{";
    size_t olen = strlen(open);
    char closech = d == DIALECT_HDF5 ? ']' : '}';
    if ((size_t)(e - b) < olen + 1 || memcmp(b, open, olen) != 0 || e[-1] != closech)
        return PRESENT_BAD;
    const char *p = b + olen, *close = e - 1;
    if (p == close)
        return PRESENT_NONE;  // a block without items
    *nonvn = false;
    *int_form = false;
    while (p < close) {
        if (*p != '[')
            return PRESENT_BAD;
        const char *q = plain_item(d, p + 1, close, item, ctx, nonvn, int_form);
        if (!q) {
            q = item_end(d, p + 1, close);
            if (!q || !read_item(p + 1, q, item, ctx, nonvn, int_form))
                return PRESENT_BAD;
        }
        p = q + 1;
        if (d == DIALECT_TAB && p < close)
            p++;  // the tab between items
    }
    return PRESENT_DATA;
}

// ---- Spectra --------------------------------------------------------------------

// Statistics " [j]:%e" pieces (`trailing`: each piece also ends in a
// blank, as before a member without data) and the one blank after them.
// Returns the position after them, or null when they do not read.
static const char *read_stats(const char *p, const char *e, bool trailing, int member,
                              SpectrumOut &out) {
    while (e - p > 3 && p[0] == ' ' && p[1] == '[' && is_digit(p[2])) {
        const char *q = p + 2;
        int j = 0;
        while (q < e && is_digit(*q) && j < 100)
            j = j * 10 + (*q++ - '0');
        if (j > 31 || e - q < 3 || q[0] != ']' || q[1] != ':')
            return nullptr;
        const char *num = q + 2;
        float v;
        bool intf;
        // Read with its end; the blank after it is then the first one.
        const char *blank = number_at(num, e, FORMS_STAT, &v, &intf);
        if (!blank || blank == e || *blank != ' ') {
            blank = (const char *)memchr(num, ' ', (size_t)(e - num));
            if (!blank || !parse_number_exact(num, blank, FORMS_STAT, &v, &intf))
                return nullptr;
        }
        out.seen_stats = true;
        if (out.stats && member < out.members)
            out.stats[member * 32 + j] = v;
        p = trailing ? blank + 1 : blank;
    }
    if (p == e || *p != ' ')
        return nullptr;
    return p + 1;
}

// The "%.e" texts "[-]De[+-]XX": every one of them (4 000) read once by
// parse_number, so that a spectrum value is looked up rather than parsed.
struct ExpTexts {
    float value[2][10][2][100];  // [minus][digit][exponent minus][exponent]
    bool ok[2][10][2][100];      // parse_number takes the text
    ExpTexts() {
        char t[7];
        for (int neg = 0; neg < 2; neg++)
            for (int d = 0; d < 10; d++)
                for (int en = 0; en < 2; en++)
                    for (int x = 0; x < 100; x++) {
                        char *c = t;
                        if (neg)
                            *c++ = '-';
                        *c++ = (char)('0' + d), *c++ = 'e', *c++ = en ? '-' : '+';
                        *c++ = (char)('0' + x / 10), *c++ = (char)('0' + x % 10);
                        bool intf;
                        float v = 0;
                        ok[neg][d][en][x] = parse_number(t, c, FORMS_SPECTRUM, &v, &intf);
                        value[neg][d][en][x] = v;
                    }
    }
};

static bool is_value_end(char c) {
    return c == ' ' || c == ']';
}

// One spectrum value at p in the two forms the plug-in writes most, read
// in one pass with its end: "%.e" looked up, the integer form as
// parse_i32 reads it. *q gets the blank or ']' after it. Returns false
// for any other text (read_values then asks parse_number), and for a
// value that does not stand before `e`.
static bool quick_spectrum_value(const char *p, const char *e, float *v, bool *intf,
                                 const char **q) {
    static const ExpTexts texts;
    bool neg = *p == '-';
    const char *c = p + neg;
    if (e - c >= 6 && is_digit(c[0]) && c[1] == 'e' && (c[2] == '+' || c[2] == '-') &&
        is_digit(c[3]) && is_digit(c[4]) && is_value_end(c[5])) {
        int d = c[0] - '0', en = c[2] == '-', x = (c[3] - '0') * 10 + (c[4] - '0');
        if (!texts.ok[neg][d][en][x])
            return false;
        *v = texts.value[neg][d][en][x];
        *intf = false;
        *q = c + 5;
        return true;
    }
    int64_t bits = 0;
    const char *t = c;
    while (t < e && is_digit(*t) && t - c < 11)
        bits = bits * 10 + (*t++ - '0');
    if (t == c || t == e || t - c > 10 || !is_value_end(*t))
        return false;
    bits = neg ? -bits : bits;
    if (bits < INT32_MIN || bits > INT32_MAX)
        return false;
    int32_t b32 = (int32_t)bits;
    memcpy(v, &b32, sizeof *v);
    *intf = true;
    *q = t;
    return true;
}

// One spectrum value at p of any other form: read with its end by
// number_scan (a value of another kind's form turned down at once), else
// its end searched and the text read by parse_number_exact ("Invalid",
// extreme exponents).
static bool slow_spectrum_value(const char *p, const char *e, float *v, bool *intf,
                                const char **q) {
    Scanned what;
    const char *t = number_scan(p, e, FORMS_SPECTRUM, v, intf, &what);
    if (t && t != e && is_value_end(*t) && what != SCANNED_SLOW) {
        *q = t;
        return what == SCANNED_VALUE;
    }
    if (t ? text_goes_on(t, e) && !is_value_end(*t) : !may_be_number(p, e))
        return false;  // a byte no value holds comes before the value's end
    t = p;
    while (t < e && *t != ' ' && *t != ']')
        t++;
    *q = t;
    return t != e && parse_number_exact(p, t, FORMS_SPECTRUM, v, intf);
}

// Values separated by one blank up to the ']' that closes the member.
// Returns the position of that ']', or null.
static const char *read_values(const char *p, const char *e, int member, SpectrumOut &out, int *n) {
    *n = 0;
    if (p < e && *p == ']')
        return p;
    for (;;) {
        const char *q;
        float v;
        bool intf;
        if (!(p < e && quick_spectrum_value(p, e, &v, &intf, &q)) &&
            !slow_spectrum_value(p, e, &v, &intf, &q))
            return nullptr;
        out.int_form |= intf;
        out.float_form |= !intf && std::isfinite(v);
        if (out.data) {
            if (member >= out.members || *n >= out.values)
                return nullptr;
            out.data[(size_t)member * (size_t)out.values + (size_t)*n] = v;
        }
        ++*n;
        if (*q == ']')
            return q;
        p = q + 1;
    }
}

// Records member `m` with `n` values written (-1: its query failed).
static bool member_done(SpectrumOut &out, int m, int n) {
    if (out.count) {
        if (m >= out.members)
            return false;
        out.count[m] = n;
    }
    if (n > out.seen_values)
        out.seen_values = n;
    if (out.member_values) {
        if ((int)out.member_values->size() <= m)
            out.member_values->resize((size_t)m + 1, 0);
        if (n > (*out.member_values)[(size_t)m])
            (*out.member_values)[(size_t)m] = n;
    }
    return true;
}

// One member entry at p; returns the position after it, or null.
static const char *read_member(Dialect d, const char *p, const char *e, int m, SpectrumOut &out) {
    bool hdf = d == DIALECT_HDF5;
    const char *failed = hdf ? "[]," : "No data\t,";
    const char *nodata = hdf ? "[]" : "Not found\t";
    size_t flen = strlen(failed), nlen = strlen(nodata);
    if ((size_t)(e - p) >= flen && memcmp(p, failed, flen) == 0)
        return member_done(out, m, -1) ? p + flen : nullptr;
    if (*p == ' ') {  // statistics of a member without data
        p = read_stats(p, e, true, m, out);
        if (!p || (size_t)(e - p) < nlen || memcmp(p, nodata, nlen) != 0)
            return nullptr;
        return member_done(out, m, 0) ? p + nlen : nullptr;
    }
    if (!hdf && (size_t)(e - p) >= nlen && memcmp(p, nodata, nlen) == 0)
        return member_done(out, m, 0) ? p + nlen : nullptr;
    if (*p != '[')
        return nullptr;
    p++;
    if (e - p > 2 && p[0] == ' ' && p[1] == '[' && is_digit(p[2]))
        p = read_stats(p, e, false, m, out);
    int n = 0;
    if (!p || !(p = read_values(p, e, m, out, &n)) || !member_done(out, m, n))
        return nullptr;
    p++;  // the member's ']'
    if (!hdf && p < e && *p == '\t')
        p++;
    return p;
}

// Every byte the member readers take is either a bracket of the grammar,
// each closed in turn, or a number's text, which holds none: where the
// members end, the brackets of the cell are balanced, so this is where the
// row reader would have ended the cell.
const char *cell_spectrum_at(const char *b, const char *limit, SpectrumOut &out) {
    out.seen_members = out.seen_values = 0;
    out.seen_stats = out.int_form = out.float_form = false;
    if (limit - b < 3 || b[0] != '[' || b[1] == ']')
        return nullptr;
    const char *p = b + 1;
    int m = 0;
    for (; p < limit && *p != ']'; m++)
        if (!(p = read_member(DIALECT_HDF5, p, limit, m, out)))
            return nullptr;
    if (p == limit || (limit - p > 1 && p[1] != ','))
        return nullptr;
    out.seen_members = m;
    return p + 1;
}

// HDF5 dialect "[" members "]", tab dialect "{" members "}".
Presence cell_spectrum(Dialect d, const char *b, const char *e, SpectrumOut &out) {
    out.seen_members = out.seen_values = 0;
    out.seen_stats = out.int_form = out.float_form = false;
    Presence c = cell_common(d, b, e);
    if (c != PRESENT_BAD)
        return c;
    char open = d == DIALECT_HDF5 ? '[' : '{', close = d == DIALECT_HDF5 ? ']' : '}';
    if (e - b < 2 || b[0] != open || e[-1] != close)
        return PRESENT_BAD;
    if (e - b == 2)
        return PRESENT_NONE;  // a spectrum without members ("{}")
    const char *p = b + 1, *end = e - 1;
    int m = 0;
    while (p < end) {
        p = read_member(d, p, end, m, out);
        if (!p)
            return PRESENT_BAD;
        m++;
    }
    out.seen_members = m;
    return PRESENT_DATA;
}

// ---- Images ------------------------------------------------------------------------

const char *cell_image_at(const char *b, const char *limit, uint8_t *out8, uint16_t *out16,
                          uint64_t cap, uint64_t *npix, uint64_t *maxval) {
    if (limit - b < 4 || b[0] != '[' || b[1] != '[' || !is_digit(b[2]))
        return nullptr;
    const char *q = out16 ? pixels_read_open(b + 2, limit, out16, cap, npix, maxval)
                          : pixels_read_open(b + 2, limit, out8, cap, npix, maxval);
    if (!q || limit - q < 2 || q[0] != ']' || q[1] != ']' || (limit - q > 2 && q[2] != ','))
        return nullptr;
    return q + 2;
}

// HDF5 dialect "[[" pixels separated by blanks "]]"; tab dialect "[",
// every pixel followed by a tab, "]". "No Image" and "Invalid Image"
// (tab dialect) say there is none, as an empty pixel list does.
Presence cell_image(Dialect d, const char *b, const char *e, uint8_t *out8, uint16_t *out16,
                    uint64_t cap, uint64_t *npix, uint64_t *maxval) {
    *npix = 0;
    *maxval = 0;
    Presence c = cell_common(d, b, e);
    if (c != PRESENT_BAD)
        return c;
    const char *p, *end;
    char sep;
    if (d == DIALECT_HDF5) {
        if (e - b < 4 || memcmp(b, "[[", 2) != 0 || memcmp(e - 2, "]]", 2) != 0)
            return PRESENT_BAD;
        p = b + 2, end = e - 2, sep = ' ';
    } else {
        if (text_is(b, e, "No Image\t") || text_is(b, e, "Invalid Image\t"))
            return PRESENT_NONE;
        if (e - b < 2 || b[0] != '[' || e[-1] != ']')
            return PRESENT_BAD;
        p = b + 1, end = e - 1, sep = '\t';
    }
    if (p == end)
        return PRESENT_NONE;
    bool ok = out16 ? pixels_read(p, end, sep, d == DIALECT_TAB, out16, cap, npix, maxval)
                    : pixels_read(p, end, sep, d == DIALECT_TAB, out8, cap, npix, maxval);
    return ok ? PRESENT_DATA : PRESENT_BAD;
}
