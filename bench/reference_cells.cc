// reference_cells.cc - cell writers the plain way: snprintf into one
// 256-byte scratch text per piece, fputs of the piece. Slow on purpose,
// and written to be obviously right rather than fast.
#include "reference_cells.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "event_util.h"

/* The 32 bits of a float as a signed int (the integer form of -fti). */
static int bits_of(float v) {
    int32_t i;
    memcpy(&i, &v, sizeof i);
    return i;
}

/* Append mpulse to the channel's list unless it repeats the last entry. */
static void record_mpulse(const ref_channel &c, int mpulse) {
    if (c.evids->empty() || c.evids->back() != mpulse)
        c.evids->push_back(mpulse);
}

/* ---- Data type 2 ---- */

void ref_cell_value(zarn_daq_getdata *data, const ref_channel &c, int mpulse, int *nchan) {
    char number[256];
    record_mpulse(c, mpulse);
    if (data->GetValNamPrm(nullptr, nullptr, nullptr, nchan, nullptr)) {
        float dt = data->GetSingle(0);
        if (c.conv)
            snprintf(number, sizeof number, c.hdf5 ? "[[%d]]" : "%d\t", bits_of(dt));
        else
            snprintf(number, sizeof number, c.hdf5 ? "[[%f]]" : "%f\t", (double)dt);
        fputs(number, c.out);
        return;
    }
    fputs(c.hdf5 ? "[" : "\t{", c.out);
    for (int k = 0; k < *nchan; k++) {
        fputs("[", c.out);
        const char *nm = nullptr;
        float dt = 0;
        data->GetValNamChan(&nm, &dt, k);
        if (c.conv)
            snprintf(number, sizeof number, "%s:%d", nm ? nm : "(null)", bits_of(dt));
        else
            snprintf(number, sizeof number, "%s:%.2e", nm ? nm : "(null)", (double)dt);
        fputs(number, c.out);
        fputs(k == *nchan - 1 || c.hdf5 ? "]" : "]\t", c.out);
    }
    fputs(c.hdf5 ? "]" : "}", c.out);
}

/* ---- Data type 3 ---- */

/* " [j]:%e" for every bit j of the mask, then one blank; form A (member
 * without data) puts a blank after every piece too. Nothing with -nostat. */
static void ref_statistics(const ref_channel &c, const zarn_spect_statistics_2010 *stat,
                           bool form_a) {
    char number[256];
    if (!stat || stat->mask == 0 || c.nostat)
        return;
    for (int j = 0; j < 32; j++) {
        if (!(stat->mask & (1u << j)))
            continue;
        snprintf(number, sizeof number, form_a ? " [%d]:%e " : " [%d]:%e", j, (double)stat->val[j]);
        fputs(number, c.out);
    }
    fputs(" ", c.out);
}

/* Values 0..count-1 of member ch, one blank between them. */
static void ref_values(zarn_daq_getdata *data, const ref_channel &c, int ch, int count) {
    char number[256];
    for (int k = 0; k < count; k++) {
        float v = data->GetSpectVal(ch, k);
        const char *blank = k > 0 ? " " : "";
        if (!std::isfinite(v))
            snprintf(number, sizeof number, "%sInvalid", blank);
        else if (c.conv)
            snprintf(number, sizeof number, "%s%d", blank, bits_of(v));
        else
            snprintf(number, sizeof number, "%s%.e", blank, (double)v);
        fputs(number, c.out);
    }
}

void ref_cell_spectrum(zarn_daq_getdata *data, const ref_channel &c, int mpulse, int *nchan) {
    *nchan = data->Nmemb;
    record_mpulse(c, mpulse);
    fputs(c.hdf5 ? "[" : "{", c.out);
    for (int ch = 0; ch < *nchan; ch++) {
        float start = 0, inc = 0, groups_inc = 0;
        int ndata = 0, groups = 0;
        zarn_spect_statistics_2010 *stat = nullptr;
        if (data->GetSpectPar(&start, &inc, nullptr, &ndata, ch, &groups, &groups_inc, &stat) !=
            0) {
            fputs(c.hdf5 ? "[]," : "No data\t,", c.out);
            continue;
        }
        if (ndata == 0) {
            ref_statistics(c, stat, true);
            fputs(c.hdf5 ? "[]" : "Not found\t", c.out);
            continue;
        }
        int lndata = groups < 2 ? ndata : (int)((uint32_t)ndata * (uint32_t)groups);
        fputs("[", c.out);
        ref_statistics(c, stat, false);
        ref_values(data, c, ch, c.dallval || lndata < c.samples ? lndata : c.samples);
        fputs(ch == *nchan - 1 || c.hdf5 ? "]" : "]\t", c.out);
    }
    fputs(c.hdf5 ? "]" : "}", c.out);
}

/* ---- Data type 4 ---- */

void ref_cell_image(zarn_daq_getdata *data, const ref_channel &c, int mpulse, unsigned *tup,
                    unsigned *tlow, int *status) {
    char number[256];
    record_mpulse(c, mpulse);
    unsigned num = 0;
    data->GetEventInfo(&num, nullptr, nullptr, tup, tlow, status, nullptr);
    int nframe = 0, compr = 0, bpp = 0, leni = 0;
    if (data->GetImagePar(&nframe, &compr, &bpp, &leni) != 0) {
        fputs(c.hdf5 ? "[]" : "No Image\t", c.out);
        return;
    }
    int xstart = 0, xinc = 0, nx = 0, ystart = 0, yinc = 0, ny = 0;
    if (data->GetImageSize(&xstart, &xinc, &nx, &ystart, &yinc, &ny) != leni) {
        fputs(c.hdf5 ? "[]" : "Invalid Image\t", c.out);
        return;
    }
    unsigned char *buf = data->GetImage();
    if (bpp != 1 && bpp != 2)
        return;
    if (bpp == 2)
        zarn_swap2(buf, buf, leni / 2);
    fputs(c.hdf5 ? "[[" : "[", c.out);
    int pnts = leni / bpp;
    for (int k = 0; k < pnts; k++) {
        int v;
        if (bpp == 1) {
            v = buf[k];
        } else {
            uint16_t w;
            memcpy(&w, buf + 2 * (size_t)k, 2);
            v = w;
        }
        if (c.hdf5)
            snprintf(number, sizeof number, k > 0 ? " %d" : "%d", v);
        else
            snprintf(number, sizeof number, "%d\t", v);
        fputs(number, c.out);
    }
    fputs(c.hdf5 ? "]]" : "]", c.out);
}
