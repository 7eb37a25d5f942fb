// host_functions.cc - the reader library's free functions and globals as
// the stand-in gives them: nbunch and outmode, EqData, event type names,
// ISO dates, the 16-bit byte swap, and the EqData conversion and printout
// of data-type-5 channels.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "host_internal.h"

// ---- Globals the reader's command line sets ----
// Spectrum values written per member (0: 100) and the status-column switch.
// The driver sets them from the run header and the command line before the
// plug-in's set-up.
int nbunch = 0;
int outmode = 0;

// ---- EqData ----

int EqData::type() {
    return type_code;
}

const char *EqData::type_string(int code) {
    switch (code) {
    case 0: return "NULL";
    case 1: return "INT";
    case 2: return "FLOAT";
    case 3: return "DOUBLE";
    case 4: return "STRING";
    case 5: return "ARRAY";
    default: return "UNKNOWN";
    }
}

// ---- Event type names ----

// Known types have fixed names; any other is "TYPE" and its number, in a
// buffer of this function that the next call overwrites (16 bytes hold
// "TYPE-2147483648").
const char *event_name_itoa(int type) {
    switch (type) {
    case 0: return "NONE";
    case 1: return "NORMAL";
    case 2: return "CALIB";
    case 3: return "PEDESTAL";
    case 4: return "TEST";
    default: break;
    }
    static char text[16];
    snprintf(text, sizeof text, "TYPE%d", type);
    return text;
}

// ---- Dates ----

// `sec` is unsigned: times past 2038-01-19 stay positive. utc non-zero:
// "YYYY-MM-DDTHH:MM:SSZ" in UTC; zero: local time without the "Z". The
// text is under 64 bytes; the caller's buffer must hold 64.
char *create_isodate_from_sec(unsigned sec, char *text, int utc) {
    if (!text)
        return nullptr;
    time_t t = static_cast<time_t>(sec);
    struct tm tmv;
    bool ok = utc ? gmtime_r(&t, &tmv) != nullptr : localtime_r(&t, &tmv) != nullptr;
    if (!ok || strftime(text, 64, utc ? "%Y-%m-%dT%H:%M:%SZ" : "%Y-%m-%dT%H:%M:%S", &tmv) == 0)
        text[0] = '\0';
    return text;
}

// ---- Byte swap ----

// Each word is read whole before it is written, so src == dst swaps in
// place. n <= 0 does nothing.
void zarn_swap2(const void *src, void *dst, int n) {
    if (!src || !dst || n <= 0)
        return;
    const unsigned char *s = static_cast<const unsigned char *>(src);
    unsigned char *d = static_cast<unsigned char *>(dst);
    long long i = 0;
    // Four words at a time, each read before it is written, so that the
    // swap may be done in place.
    for (; i + 4 <= n; i += 4) {
        uint64_t w;
        memcpy(&w, s + 2 * i, 8);
        w = ((w >> 8) & 0x00ff00ff00ff00ffull) | ((w & 0x00ff00ff00ff00ffull) << 8);
        memcpy(d + 2 * i, &w, 8);
    }
    for (; i < n; i++) {
        unsigned char lo = s[2 * i], hi = s[2 * i + 1];
        d[2 * i] = hi;
        d[2 * i + 1] = lo;
    }
}

// ---- Data type 5 ----

// The container of the channel whose sub-head the cursor handed out: 0 and
// *out set to a container owned by the cursor (valid until it is bound to
// the next event), unless the entry has no `eq` or `eq.fail`: then 1.
// With `eq.null_container` (tests only) *out is null and the answer 0.
int zarn_daq_to_eqdata(void *, zarn_serv_block_head_2010 *, zarn_serv_block_subhead_2010 *sub,
                       EqData **out, int) {
    const standin::BoundChan *b = standin::find_bound_channel(sub);
    if (!b || !b->data->eq || b->data->eq->fail || !out)
        return 1;
    *out = b->data->eq->null_container ? nullptr : const_cast<EqData *>(&b->eq);
    return 0;
}

// "  values:", then " %g" per value, then a line end, on standard output
// (the plug-in's own stream, so the order of lines is kept). 1 and nothing
// printed for a sub-head that is not one of a bound channel with `eq`.
int print_data_type_2010(zarn_serv_block_subhead_2010 *sub, int, int) {
    const standin::BoundChan *b = standin::find_bound_channel(sub);
    if (!b || !b->data->eq)
        return 1;
    fputs("  values:", stdout);
    for (double v : b->data->eq->values)
        printf(" %g", v);
    fputc('\n', stdout);
    return 0;
}
